#!/usr/bin/env python3
"""A second, independent reading of loop files, for checking `vantaloop-cli dump`.

Written from the file format's description without looking at the player's code: it reads a
loop, applies the load rules (defaults, kept values, key records, expansion) in plain Python
with numpy-free float32 arithmetic, and produces the same JSON shape as `dump`. `check` mode
generates random loops (versions 3 to 6, fractional versions, long and UTF-16 strings, several
files loaded in a row), runs the player's dump on them and compares.

usage: loop_reference.py check CLI [COUNT] [SEED]
       loop_reference.py dump FILE [FILE ...]
"""
import json
import math
import os
import random
import struct
import subprocess
import sys
import tempfile

F32 = struct.Struct('<f')


def f32(x):
    """Round a Python float to the nearest float32 (as a Python float)."""
    try:
        return F32.unpack(F32.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


# ---- Layout ---------------------------------------------------------------------------------
# Header rows: (kind, name or (first track, count), minimum version or None).
INIT_RUNS = [
    ('text_rot_x text_rot_y text_rot_z', None),
    ('scene_echo_r scene_echo_g scene_echo_b', 5),
    ('text_pos_x text_pos_y text_pos_z text_colour_r text_colour_g text_colour_b background_r '
     'background_g background_b char_rot_x char_rot_y char_rot_z line_offset_x line_offset_y '
     'line_offset_z char_offset_x char_offset_y char_offset_z text_light_x text_light_y text_light_z '
     'material_r material_g material_b text_scale_x text_scale_y text_scale_z text_alpha', None),
    ('ring_z ring_pitch ring_yaw sprite_spin ring_x ring_y ring_swirl ring_pull ring_turn sprite_alpha '
     'sprite_count sprite_tint_r sprite_tint_g sprite_tint_b', None),
    ('particle_accel_dir_y particle_accel_min particle_accel_dir_z particle_offset_x particle_offset_y '
     'particle_offset_z particle_rot_x particle_rot_y particle_rot_z particle_accel_max '
     'particle_accel_dir_x particle_emitter_x particle_emitter_y particle_emitter_z particle_colour_a_r '
     'particle_colour_a_g particle_colour_a_b particle_life_min particle_life_max particle_time_scale '
     'particle_velocity_x particle_velocity_y particle_velocity_z particle_velocity_spread_x '
     'particle_velocity_spread_y particle_velocity_spread_z', None),
    ('particle_fog_near', 6),
    ('fountain_spread_x fountain_spread_y fountain_spread_z vortex_x vortex_y vortex_z vortex_emit '
     'vortex_swirl vortex_tilt vortex_roll vortex_pull vortex_turn vortex_spacing fountain_r fountain_g '
     'fountain_b', None),
    ('tunnel_speed tunnel_twist tunnel_stretch tunnel_x tunnel_y tunnel_z fog_start fog_end tunnel_sweep_x '
     'tunnel_sweep_y tunnel_radius_x tunnel_radius_y', None),
    ('backdrop_1_scroll_u backdrop_1_scroll_v backdrop_1_rot_x backdrop_2_scroll_u backdrop_2_scroll_v '
     'backdrop_2_rot_x backdrop_1_x backdrop_1_y backdrop_1_z backdrop_2_x backdrop_2_y backdrop_2_z '
     'backdrop_1_rot_y backdrop_1_rot_z backdrop_2_rot_y backdrop_2_rot_z', None),
    ('scene_echo_layers scene_echo_alpha scene_echo_inset trail_spare trail_fade trail_scroll '
     'trail_offset_x trail_offset_y', None),
    ('model_1_rot_x model_1_rot_y model_1_rot_z model_1_x model_1_y model_1_z model_1_scale_x '
     'model_1_scale_y model_1_scale_z model_1_r model_1_g model_1_b model_1_light_x model_1_light_y '
     'model_1_light_z model_1_alpha model_1_scroll_u model_1_scroll_v', None),
    ('model_1_echo_layers model_1_echo_alpha model_1_echo_inset model_1_echo_r model_1_echo_g '
     'model_1_echo_b', 5),
]
M2 = ('{0}_rot_x {0}_rot_y {0}_rot_z {0}_x {0}_y {0}_z {0}_scale_x {0}_scale_y {0}_scale_z {0}_r {0}_g {0}_b '
      '{0}_light_x {0}_light_y {0}_light_z {0}_alpha {0}_scroll_u {0}_scroll_v {0}_echo_layers {0}_echo_alpha '
      '{0}_echo_inset {0}_echo_r {0}_echo_g {0}_echo_b')
INIT_RUNS += [(M2.format('model_2'), 5), (M2.format('model_3'), 5)]
INIT_RUNS.append(('photo_rot_x photo_rot_y photo_rot_z photo_x photo_y photo_z photo_scale_x photo_scale_y '
                  'photo_scale_z photo_light_x photo_light_y photo_light_z photo_mix photo_depth_scale '
                  'photo_gap wave_phase', None))
TRACKS = [t for run, _ in INIT_RUNS for t in run.split()]
assert len(TRACKS) == 215

HEADER = []  # (kind, payload, min_version); kind: f i s x k init fogw


def row(kind, payload, v=None):
    if kind == 'init':
        v = INIT_RUNS[payload][1]
    HEADER.append((kind, payload, v))


row('i', 'particle_count', 4)
for n in ['tunnel_r', 'tunnel_g', 'tunnel_b', 'text_wireframe']:
    row('f', n, 3)
row('f', 'text_lit')
row('x', None)
row('s', 'text_font_face'); row('i', 'text_font_weight'); row('i', 'text_font_italic')
row('s', 'text_string'); row('f', 'text_on'); row('k', None); row('f', 'sequence_texture_mode')
row('init', 0); row('init', 1); row('init', 2)
row('f', 'text_style'); row('f', 'sequence_texture_name_length'); row('s', 'sequence_texture_name')
row('f', 'text_chrome'); row('f', 'sprites_on'); row('init', 3)
row('f', 'sprite_texture_name_length'); row('s', 'sprite_texture_name'); row('f', 'sprite_tinted')
row('f', 'particles_on'); row('f', 'particle_spare'); row('init', 4); row('init', 5); row('fogw', None, 6)
row('f', 'particle_texture_name_length'); row('s', 'particle_texture_name'); row('f', 'particle_texture_mode')
row('f', 'vortex_on'); row('init', 6); row('f', 'fountain_cycle'); row('f', 'fountain_texture_name_length')
row('s', 'fountain_texture_name'); row('f', 'tunnel_on'); row('init', 7); row('s', 'tunnel_texture_name')
row('f', 'tunnel_texture_name_length')
for n in ['backdrop_1_opaque', 'backdrop_2_opaque', 'backdrop_1_hidden', 'backdrop_2_hidden', 'backdrop_on']:
    row('f', n)
row('init', 8)
row('s', 'backdrop_1_texture_name'); row('f', 'backdrop_1_texture_name_length')
row('s', 'backdrop_2_texture_name'); row('f', 'backdrop_2_texture_name_length')
FX = ['fx_text', 'fx_sprites', 'fx_particles', 'fx_vortex', 'fx_model_2']
for n in FX + ['trail_tint_b', 'trail_tint_g', 'trail_tint_r', 'scene_echo_on', 'trail_on'] + FX:
    row('f', n)
row('init', 9)
row('f', 'model_1_texture_mode'); row('f', 'model_1_on'); row('i', 'model_1_unit'); row('init', 10)
row('init', 11)
for n in ['model_1_additive', 'model_1_chrome']:
    row('f', n)
row('s', 'model_1_file_name'); row('f', 'model_1_file_name_length')
row('s', 'model_1_texture_name'); row('f', 'model_1_texture_name_length')
for n in ['model_1_load', 'model_1_sphere_map', 'model_1_lit']:
    row('f', n)
row('f', 'fx_model_1', 5); row('f', 'echo_model_1_on', 5)
for m, init in (('model_2', 12), ('model_3', 13)):
    row('f', m + '_texture_mode', 5); row('f', m + '_on', 5); row('i', m + '_unit', 5); row('init', init)
    row('f', m + '_additive', 5); row('f', m + '_chrome', 5)
    row('s', m + '_file_name', 5); row('f', m + '_file_name_length', 5)
    row('s', m + '_texture_name', 5); row('f', m + '_texture_name_length', 5)
    for n in ['_load', '_sphere_map', '_lit']:
        row('f', m + n, 5)
    row('f', 'fx_' + m, 5); row('f', 'echo_' + m + '_on', 5)
for n in ['photo_on', 'photo_lit', 'photo_switch_a', 'photo_switch_b']:
    row('f', n)
row('init', 14)
row('f', 'photo_b_name_length'); row('s', 'photo_b_name'); row('f', 'photo_a_name_length'); row('s', 'photo_a_name')

# Key groups: three track names each, with a minimum version.
KEYS = []
_K = """text_rot_x text_rot_y text_rot_z|scene_echo_r scene_echo_g scene_echo_b@5|text_pos_x text_pos_y text_pos_z|
text_colour_r text_colour_g text_colour_b|background_r background_g background_b|char_rot_x char_rot_y char_rot_z|
line_offset_x line_offset_y line_offset_z|char_offset_x char_offset_y char_offset_z|text_light_x text_light_y text_light_z|
material_r material_g material_b|text_scale_x text_scale_y text_scale_z|text_alpha text_alpha text_alpha|
ring_pitch ring_yaw sprite_spin|ring_x ring_y ring_z|ring_swirl ring_pull ring_turn|sprite_count sprite_alpha ring_z|
sprite_tint_r sprite_tint_g sprite_tint_b|particle_rot_x particle_rot_y particle_rot_z|
particle_offset_x particle_offset_y particle_offset_z|particle_accel_dir_y particle_accel_min particle_accel_dir_z|
particle_accel_max particle_accel_dir_x particle_accel_dir_x|particle_emitter_x particle_emitter_y particle_emitter_z|
particle_colour_a_r particle_colour_a_g particle_colour_a_b|particle_life_min particle_life_max particle_time_scale|
particle_velocity_x particle_velocity_y particle_velocity_z|
particle_velocity_spread_x particle_velocity_spread_y particle_velocity_spread_z|
particle_fog_near particle_fog_near particle_fog_near@6|fountain_spread_x fountain_spread_y fountain_spread_z|
vortex_x vortex_y vortex_z|vortex_emit vortex_swirl vortex_tilt|vortex_roll vortex_pull vortex_turn|
vortex_spacing vortex_spacing vortex_emit|fountain_r fountain_g fountain_b|tunnel_speed tunnel_twist tunnel_stretch|
tunnel_x tunnel_y tunnel_z|fog_start fog_end fog_end|tunnel_sweep_x tunnel_sweep_y tunnel_sweep_y|
tunnel_radius_x tunnel_radius_y tunnel_radius_y|backdrop_1_scroll_u backdrop_1_scroll_v backdrop_1_rot_x|
backdrop_2_scroll_u backdrop_2_scroll_v backdrop_2_rot_x|backdrop_1_x backdrop_1_y backdrop_1_z|
backdrop_2_x backdrop_2_y backdrop_2_z|backdrop_1_rot_y backdrop_1_rot_z backdrop_1_rot_z|
backdrop_2_rot_y backdrop_2_rot_z backdrop_2_rot_z|scene_echo_layers scene_echo_alpha scene_echo_inset|
trail_spare trail_fade trail_scroll|trail_offset_x trail_offset_y trail_offset_y"""
for g in _K.replace('\n', '').split('|'):
    names, _, v = g.partition('@')
    KEYS.append((names.split(), int(v) if v else None))
for m, v1 in (('model_1', None), ('model_2', 5), ('model_3', 5)):
    for g in ['{0}_rot_x {0}_rot_y {0}_rot_z', '{0}_x {0}_y {0}_z', '{0}_scale_x {0}_scale_y {0}_scale_z',
              '{0}_r {0}_g {0}_b', '{0}_light_x {0}_light_y {0}_light_z', '{0}_alpha {0}_alpha {0}_alpha',
              '{0}_scroll_u {0}_scroll_v {0}_scroll_v']:
        KEYS.append((g.format(m).split(), v1))
    for g in ['{0}_echo_layers {0}_echo_alpha {0}_echo_inset', '{0}_echo_r {0}_echo_g {0}_echo_b']:
        KEYS.append((g.format(m).split(), 5))
for g in ['photo_rot_x photo_rot_y photo_rot_z', 'photo_x photo_y photo_z', 'photo_scale_x photo_scale_y photo_scale_z',
          'photo_light_x photo_light_x photo_light_x', 'photo_mix photo_mix photo_mix',
          'photo_depth_scale photo_gap wave_phase']:
    KEYS.append((g.split(), None))
assert len(KEYS) == 80


def present(v, minimum):
    return minimum is None or v >= minimum


# ---- Defaults -------------------------------------------------------------------------------
TRACK_DEFAULTS = dict(
    scene_echo_b=50, text_colour_r=255, text_colour_g=255, text_colour_b=255, line_offset_y=-60, text_light_z=4000,
    material_r=255, material_g=255, material_b=255, text_scale_x=50, text_scale_y=50, text_scale_z=10,
    text_alpha=255, ring_pitch=90, ring_z=-35, ring_swirl=50, sprite_count=250, sprite_alpha=255,
    sprite_tint_r=255, sprite_tint_g=111, sprite_tint_b=40, particle_accel_max=2, particle_emitter_x=10,
    particle_emitter_y=10, particle_emitter_z=10, particle_colour_a_r=122, particle_colour_a_g=100,
    particle_colour_a_b=135, particle_life_min=50, particle_life_max=25, particle_time_scale=25,
    fountain_spread_x=0.01, fountain_spread_y=30, fountain_spread_z=0.01, vortex_emit=-229, vortex_spacing=243,
    fountain_r=107, fountain_g=79, fountain_b=49, tunnel_stretch=272, fog_end=230, tunnel_sweep_x=200,
    tunnel_sweep_y=200, tunnel_radius_x=300, tunnel_radius_y=300, backdrop_1_z=-200, backdrop_2_z=-150,
    scene_echo_alpha=0.2, model_1_z=-40, model_1_r=255, model_1_g=255, model_1_b=255, model_1_light_z=4000,
    model_1_alpha=255, model_1_echo_alpha=0.2, model_1_echo_b=50, model_2_z=-40, model_2_r=255, model_2_g=255,
    model_2_b=255, model_2_light_z=4000, model_2_alpha=255, model_2_echo_alpha=0.2, model_2_echo_r=50,
    model_3_z=-40, model_3_r=255, model_3_g=255, model_3_b=255, model_3_light_z=4000, model_3_alpha=255,
    model_3_echo_alpha=0.2, model_3_echo_r=50, photo_scale_x=50, photo_scale_y=50, photo_scale_z=1,
    photo_depth_scale=-1)
TRACK_KEEP = set('particle_fog_near trail_spare model_1_scroll_u model_1_echo_layers model_1_echo_inset '
                 'model_1_echo_r model_1_echo_g model_2_echo_layers model_2_echo_inset model_2_echo_g '
                 'model_3_echo_layers model_3_echo_inset model_3_echo_g'.split())
SETTING_DEFAULTS = dict(particle_count=800, tunnel_g=255, trail_tint_b=1, fx_text=2, model_1_unit=3, model_2_unit=3,
                        model_3_unit=3, model_1_lit=2, model_2_lit=2, model_3_lit=2, photo_switch_a=2,
                        photo_switch_b=2, text_font_face='Arial Black', text_string='Moxtrel')
SETTING_KEEP = set('text_wireframe text_lit text_font_weight text_font_italic text_on sequence_texture_mode '
                   'sprite_tinted particle_spare particle_texture_mode model_1_load model_2_load model_3_load '
                   'model_2_texture_mode model_3_texture_mode'.split())
SETTINGS = []
for kind, name, _ in HEADER:
    if kind in 'fis' and name not in SETTINGS:
        SETTINGS.append(name)


def setting_default(name, kind):
    if kind == 's':
        return SETTING_DEFAULTS.get(name, '')
    return SETTING_DEFAULTS.get(name, 0)


KIND = {name: kind for kind, name, _ in HEADER if kind in 'fis'}


class Scene:
    def __init__(self):
        self.work = {t: f32(TRACK_DEFAULTS.get(t, 0)) for t in TRACKS}
        self.work['model_2_x'] = 8.0
        self.work['model_3_x'] = -8.0
        self.initial = dict(self.work)
        self.settings = {n: setting_default(n, KIND[n]) for n in SETTINGS}
        self.key_values = {t: [0.0] * 10000 for t in TRACKS}
        self.frame_values = {t: [0.0] * 10000 for t in TRACKS}
        self.keyframe_frame = [0] * 20000
        self.keyframe_count = 0
        self.frame_count = 0
        self.baked_frame_count = 0
        self.version = 0.0


class Bad(Exception):
    pass


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise Bad('ends early')
        b = self.data[self.pos:self.pos + n]
        self.pos += n
        return b

    def f(self):
        return F32.unpack(self.take(4))[0]

    def i(self):
        return struct.unpack('<i', self.take(4))[0]

    def s(self):
        wide = False
        n = self.take(1)[0]
        if n == 0xFF:
            n = struct.unpack('<H', self.take(2))[0]
            if n == 0xFFFE:
                wide = True
                n = self.take(1)[0]
                if n == 0xFF:
                    n = struct.unpack('<H', self.take(2))[0]
                    if n == 0xFFFF:
                        n = struct.unpack('<I', self.take(4))[0]
            elif n == 0xFFFF:
                n = struct.unpack('<I', self.take(4))[0]
        if not wide:
            return self.take(n).decode('latin-1')
        units = struct.unpack('<%dH' % n, self.take(2 * n))
        return ''.join(chr(u) if u <= 0xFF else '?' for u in units)


def load(scene, data):
    """Reads a whole file first; applies it only if it is valid. Returns the largest key frame."""
    r = Reader(data)
    v = r.f()
    values = []
    kc = None
    for kind, payload, minimum in HEADER:
        if not present(v, minimum):
            continue
        if kind == 'f' or kind == 'fogw':
            values.append(r.f())
        elif kind in 'ix':
            values.append(r.i())
        elif kind == 'k':
            kc = r.i()
            if not 0 <= kc <= 19999:
                raise Bad('keyframe_count')
            values.append(kc)
        elif kind == 's':
            values.append(r.s())
        else:
            values.append([r.f() for _ in INIT_RUNS[payload][0].split()])
    keys = []
    for k in range(kc + 1):
        frame = r.i()
        if not 0 <= frame <= 9999 or (1 <= k < kc and frame == 0):
            raise Bad('key frame')
        floats = []
        for names, minimum in KEYS:
            if present(v, minimum):
                floats.append([r.f() for _ in range(3)])
        keys.append((frame, floats))

    # Apply: defaults, header, keys, expansion.
    for t in TRACKS:
        if t not in TRACK_KEEP:
            scene.work[t] = f32(TRACK_DEFAULTS.get(t, 0))
    for n in SETTINGS:
        if n not in SETTING_KEEP and not n.endswith('_length'):
            scene.settings[n] = setting_default(n, KIND[n])
    for t in TRACKS:
        scene.initial[t] = scene.work[t]
    for i in range(1, 602):
        scene.keyframe_frame[i] = 0
        for t in TRACKS:
            scene.key_values[t][i] = 0.0
            scene.frame_values[t][i] = 0.0
    scene.frame_count = scene.baked_frame_count = 0
    scene.version = v
    it = iter(values)
    for kind, payload, minimum in HEADER:
        if not present(v, minimum):
            continue
        val = next(it)
        if kind in 'fis':
            scene.settings[payload] = val
        elif kind == 'fogw':
            scene.work['particle_fog_near'] = val
        elif kind == 'init':
            for t, x in zip(INIT_RUNS[payload][0].split(), val):
                scene.initial[t] = x
    scene.keyframe_count = kc
    for k, (frame, floats) in enumerate(keys):
        scene.keyframe_frame[k] = frame
        gi = 0
        for names, minimum in KEYS:
            if present(v, minimum):
                for t, x in zip(names, floats[gi]):
                    scene.key_values[t][frame] = x
                gi += 1
    expand(scene)
    return max(f for f, _ in keys)


def expand(scene):
    prev = {}
    for k in range(scene.keyframe_count):
        s, e = scene.keyframe_frame[k], scene.keyframe_frame[k + 1]
        length = e - s
        scene.frame_count += length
        for t in TRACKS:
            kv, fv = scene.key_values[t], scene.frame_values[t]
            if k == 0:
                run = scene.initial[t]
                change = kv[e] - scene.initial[t]
            else:
                run = fv[s - 1]
                change = kv[e] - prev[t]
            if length > 0:
                step = change / length
                for f in range(s, e):
                    run = f32(run + step)
                    fv[f] = run
            prev[t] = run if k == 0 else kv[e]
        scene.baked_frame_count += length


def num(x):
    if math.isnan(x):
        return 'NaN'
    if math.isinf(x):
        return 'Infinity' if x > 0 else '-Infinity'
    return x


def dump(paths):
    scene = Scene()
    slots = 602
    for p in paths:
        with open(p, 'rb') as fh:
            slots = max(slots, load(scene, fh.read()) + 1)
    slots = min(slots, 10000)
    settings = {}
    for n in SETTINGS:
        x = scene.settings[n]
        settings[n] = num(x) if KIND[n] == 'f' else x
    ecm = 0 if math.isnan(scene.version) else int(max(-2**31, min(2**31 - 1, math.trunc(scene.version)))) \
        if not math.isinf(scene.version) else (2**31 - 1 if scene.version > 0 else -2**31)
    return {
        'sequence_version': num(scene.version), 'echo_colour_mode': ecm,
        'keyframe_count': scene.keyframe_count,
        'keyframe_frame': scene.keyframe_frame[:scene.keyframe_count + 1],
        'frame_count': scene.frame_count, 'baked_frame_count': scene.baked_frame_count,
        'settings': settings,
        'initial': {t: num(scene.initial[t]) for t in TRACKS},
        'frames': {t: [num(x) for x in scene.frame_values[t][:slots]] for t in TRACKS},
    }


# ---- Random loops ---------------------------------------------------------------------------
def put_string(rnd, s):
    raw = s.encode('latin-1')
    form = rnd.random()
    if form < 0.1:  # UTF-16
        units = [ord(c) for c in s] + ([0x20AC] if rnd.random() < 0.5 else [])
        return b'\xff\xfe\xff' + bytes([len(units)]) + struct.pack('<%dH' % len(units), *units) \
            if len(units) < 255 else b'\xff\xfe\xff' + b'\xff' + struct.pack('<H', len(units)) + \
            struct.pack('<%dH' % len(units), *units)
    if form < 0.2:  # needlessly long prefix
        return b'\xff' + struct.pack('<H', len(raw)) + raw
    if form < 0.25:
        return b'\xff\xff\xff' + struct.pack('<I', len(raw)) + raw
    if len(raw) < 255:
        return bytes([len(raw)]) + raw
    return b'\xff' + struct.pack('<H', len(raw)) + raw


def rand_float(rnd):
    c = rnd.random()
    if c < 0.02:
        return rnd.choice([math.nan, math.inf, -math.inf, 3.4e38, -0.0, 1e-40])
    if c < 0.3:
        return float(rnd.choice([0, 1, 2, 255, -1]))
    return f32(rnd.uniform(-1000, 1000))


def random_loop(rnd):
    v = rnd.choice([3.0, 4.0, 5.0, 6.0, 6.0, 4.5, 5.5, 3.25, 7.0, 2.0, -1.0, math.nan])
    nkeys = rnd.choice([1, 2, 3, 5, 12])
    frames = sorted(rnd.sample(range(0, 1200 if rnd.random() < 0.8 else 10000), nkeys))
    if rnd.random() < 0.2 and nkeys > 1:
        frames[-1] = rnd.randrange(0, 10000)  # descending or repeated last key
    for k in range(1, nkeys - 1):
        frames[k] = max(frames[k], 1)
    out = bytearray(F32.pack(v))
    for kind, payload, minimum in HEADER:
        if not present(v, minimum):
            continue
        if kind in ('f', 'fogw'):
            out += F32.pack(rand_float(rnd))
        elif kind == 'i':
            out += struct.pack('<i', rnd.choice([0, 3, 700, -5, 2**31 - 1]))
        elif kind == 'x':
            out += struct.pack('<i', rnd.randrange(-2**31, 2**31))
        elif kind == 'k':
            out += struct.pack('<i', nkeys - 1)
        elif kind == 's':
            n = rnd.choice([0, 3, 17, 254, 255, 300])
            s = ''.join(chr(rnd.choice([65, 97, 0xE9, 0x5C, 0x2F, 0x80, 0x22])) for _ in range(n))
            out += put_string(rnd, s)
        else:
            for _ in INIT_RUNS[payload][0].split():
                out += F32.pack(rand_float(rnd))
    for frame in frames:
        out += struct.pack('<i', frame)
        for names, minimum in KEYS:
            if present(v, minimum):
                for _ in range(3):
                    out += F32.pack(rand_float(rnd))
    if rnd.random() < 0.1:
        out += b'trailing bytes'
    return bytes(out)


def same(a, b, path='$'):
    if isinstance(a, dict) and isinstance(b, dict):
        if a.keys() != b.keys():
            return '%s: keys differ: %s' % (path, sorted(set(a) ^ set(b))[:5])
        for k in a:
            d = same(a[k], b[k], path + '.' + k)
            if d:
                return d
        return None
    if isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            return '%s: length %d vs %d' % (path, len(a), len(b))
        for i, (x, y) in enumerate(zip(a, b)):
            d = same(x, y, '%s[%d]' % (path, i))
            if d:
                return d
        return None
    if isinstance(a, float) or isinstance(b, float):
        if isinstance(a, (int, float)) and isinstance(b, (int, float)) and f32(a) == f32(b):
            return None
    if a != b:
        return '%s: player %r, reference %r' % (path, a, b)
    return None


def check(cli, count, seed):
    rnd = random.Random(seed)
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for case in range(count):
            paths = []
            for j in range(rnd.choice([1, 1, 1, 2, 3])):
                p = os.path.join(tmp, 'loop%d_%d.lqf' % (case, j))
                with open(p, 'wb') as fh:
                    fh.write(random_loop(rnd))
                paths.append(p)
            run = subprocess.run([cli, 'dump'] + paths, capture_output=True)
            if run.returncode != 0:
                print('case %d: dump failed: %s' % (case, run.stderr.decode(errors='replace').strip()))
                failures += 1
                continue
            diff = same(json.loads(run.stdout), dump(paths))
            if diff:
                print('case %d: %s' % (case, diff))
                failures += 1
            # A damaged copy must be refused without output.
            data = open(paths[-1], 'rb').read()
            cut = os.path.join(tmp, 'cut.lqf')
            with open(cut, 'wb') as fh:
                fh.write(data[:rnd.randrange(0, len(data))] if rnd.random() < 0.5 else data[:len(data) // 2])
            try:
                dump([cut])
                expected_ok = True
            except Bad:
                expected_ok = False
            run = subprocess.run([cli, 'dump', cut], capture_output=True)
            if (run.returncode == 0) != expected_ok or (not expected_ok and run.stdout):
                print('case %d: truncated file handled differently' % case)
                failures += 1
    print('%d passed, %d failed' % (count - failures, failures))
    return 1 if failures else 0


if __name__ == '__main__':
    if len(sys.argv) >= 3 and sys.argv[1] == 'check':
        sys.exit(check(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 200,
                       int(sys.argv[4]) if len(sys.argv) > 4 else 1))
    if len(sys.argv) >= 3 and sys.argv[1] == 'dump':
        print(json.dumps(dump(sys.argv[2:])))
        sys.exit(0)
    print(__doc__)
    sys.exit(2)
