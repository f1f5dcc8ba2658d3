#!/usr/bin/env python3
"""The desktop program's export as a user meets it, on an X server of its own: the menu opens the
file dialog, the export runs while the view keeps playing (screenshots of the view differ over
time), Escape on the progress dialog cancels and removes the partial file, and a finished export
holds exactly the frames vantaloop-cli export writes for the same loop and preset; a DVD with a
sound file chosen in the dialog carries that sound and makes a DVD as the command line's does.

usage: desktop_export_x.py VANTALOOP VANTALOOP_CLI BIN_DIR
Exit 77 (skipped) without Xvfb or a display, xdotool or ImageMagick, unless CI=true.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def skip(message):
    if os.environ.get("CI") == "true":
        fail(message)
    print("SKIP: " + message)
    sys.exit(SKIP)


def wait_for(predicate, seconds, what):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.25)
    fail("timed out waiting for " + what)


class Desktop:
    """One X server (our own Xvfb when there is one) and the programs run on it."""

    def __init__(self, tmp):
        self.env = dict(os.environ)
        self.env["XDG_CONFIG_HOME"] = os.path.join(tmp, "config")  # a fresh profile: preset 1
        self.xvfb = None
        if shutil.which("Xvfb"):
            read_end, write_end = os.pipe()
            self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                          "-nolisten", "tcp"], pass_fds=[write_end],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            number = b""
            while not number.endswith(b"\n"):
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
            os.close(read_end)
            if not number.strip():
                skip("Xvfb did not start")
            self.env["DISPLAY"] = ":" + number.decode().strip()
        elif not self.env.get("DISPLAY"):
            skip("no X display and no Xvfb")
        self.app = None

    def run(self, *args, **kw):
        return subprocess.run(list(args), env=self.env, capture_output=True, text=True, **kw)

    def xdotool(self, *args):
        return self.run("xdotool", *args).stdout.split()

    def start(self, vantaloop, bin_dir, loop):
        self.app = subprocess.Popen([vantaloop, "--library", bin_dir, loop], env=self.env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        # The main window is titled "LOOP - Vantaloop" (or "Vantaloop"), as is the smaller control panel.
        def main_window():
            best = None
            for w in self.xdotool("search", "--onlyvisible", "--pid", str(self.app.pid), "--name", "Vantaloop$"):
                geometry = self.run("xdotool", "getwindowgeometry", "--shell", w).stdout
                fields = dict(line.split("=") for line in geometry.split())
                area = int(fields["WIDTH"]) * int(fields["HEIGHT"])
                if best is None or area > best[1]:
                    best = (w, area, fields)
            return best
        # A loaded machine (several builds beside the test) can take over a minute to show it.
        self.main, _, geometry = wait_for(main_window, 120, "the main window")
        self.width = int(geometry["WIDTH"])
        time.sleep(3)  # the first loop loads and starts playing

    def open_export_dialog(self):
        # Export Video is the fourth menu: File, then Right three times, then its one item.
        self.xdotool("windowfocus", "--sync", self.main)
        self.run("xdotool", "key", "--delay", "400", "alt+f", "Right", "Right", "Right", "Down", "Return")
        return wait_for(lambda: self.xdotool("search", "--onlyvisible", "--name", "^Export Video$"), 30,
                        "the save dialog")[0]

    def type_file_name(self, dialog, path, sound=None):
        self.xdotool("windowfocus", "--sync", dialog)
        self.run("xdotool", "key", "ctrl+a")
        self.run("xdotool", "type", "--delay", "20", path)
        if sound:
            # Alt+S: the sound file's field, as a keyboard user reaches it.
            self.run("xdotool", "key", "--delay", "200", "alt+s", "ctrl+a")
            self.run("xdotool", "type", "--delay", "20", sound)
        self.run("xdotool", "key", "Return")

    def view_strip(self):
        # The band of the view between the menu bar and the control panel, which opens over the
        # window's middle.
        shot = subprocess.run(["import", "-window", self.main, "-crop", "%dx90+0+28" % self.width, "rgb:-"],
                              env=self.env, capture_output=True)
        return hashlib.sha256(shot.stdout).hexdigest() if shot.stdout else None

    def stop(self):
        if self.app and self.app.poll() is None:
            self.app.terminate()
            try:
                self.app.wait(10)
            except subprocess.TimeoutExpired:
                self.app.kill()
        self.app = None

    def close(self):
        self.stop()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()


def probe_streams(path):
    """codec_name|codec_type|channels of each stream, as ffprobe reads them."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type,codec_name,channels",
                          "-of", "compact=p=0:nk=1", path], capture_output=True, text=True).stdout
    return sorted(line.strip() for line in out.splitlines() if line.strip())


def sound_peak(path):
    """The loudest sample of the file's first sound stream, 0..32768 (0: silence)."""
    pcm = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1", "-f", "s16le",
                          "-acodec", "pcm_s16le", "-"], capture_output=True).stdout
    samples = struct.unpack("<%dh" % (len(pcm) // 2), pcm[:len(pcm) // 2 * 2])
    return max((abs(v) for v in samples), default=0)


def dvd_author(folder, title, standard):
    """dvdauthor's log for a title and its table of contents; empty when it failed or warned."""
    env = dict(os.environ, VIDEO_FORMAT=standard)
    dvd = os.path.join(folder, "dvd")
    shutil.rmtree(dvd, ignore_errors=True)
    logs = ""
    for args in (["-o", dvd, "-t", title], ["-o", dvd, "-T"]):
        r = subprocess.run(["dvdauthor"] + args, env=env, capture_output=True, text=True)
        logs += r.stdout + r.stderr
        if r.returncode != 0:
            return "", logs
    ok = "WARN" not in logs and "ERR" not in logs and os.path.isfile(os.path.join(dvd, "VIDEO_TS", "VIDEO_TS.IFO"))
    return (logs if ok else ""), logs


def frame_sums(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "framemd5", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, text=True).stdout
    return [line.split(",")[-1].strip() for line in out.splitlines() if line and not line.startswith("#")]


SHORT_LOOP = """version 6
[settings]
text_string = "VL"
text_font_face = "Liberation Sans"
text_on = 2
text_lit = 2
trail_on = 2
trail_tint_r = 1
trail_tint_g = 0.7
trail_tint_b = 0.3
[initial]
text_pos_z = -250
text_scale_x = 70
text_scale_y = 70
background_b = 90
[key]
frame = 0
[key]
frame = 12
text_rot_z = 360
"""


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    vantaloop, cli, bin_dir = sys.argv[1:]
    for tool in ("xdotool", "import", "ffmpeg", "ffprobe", "dvdauthor"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    tmp = tempfile.mkdtemp(prefix="vl_export_x_")
    desktop = Desktop(tmp)
    try:
        # ---- A long export: the view plays on, Escape cancels and nothing stays --------------
        desktop.start(vantaloop, bin_dir, os.path.join(bin_dir, "Sequences", "default.lqf"))
        dialog = desktop.open_export_dialog()
        target = os.path.join(tmp, "cancelled.avi")
        # The export writes under a short temporary name beside the target (".vl-...").
        def partial():
            return any(f.startswith(".vl-") and f.endswith(".avi") for f in os.listdir(tmp))
        desktop.type_file_name(dialog, target)
        wait_for(partial, 60, "the export to start writing")
        strips = set()
        for _ in range(4):
            strips.add(desktop.view_strip())
            time.sleep(1.5)
        if len(strips - {None}) < 2:
            fail("the view did not change during the export")
        progress = wait_for(lambda: desktop.xdotool("search", "--onlyvisible", "--name", "^Export Video$"), 30,
                            "the progress dialog")[0]
        if not partial():
            fail("the export ended before it could be cancelled")
        desktop.xdotool("windowfocus", "--sync", progress)
        desktop.run("xdotool", "key", "Escape")
        wait_for(lambda: not partial(), 30, "the partial file to go")
        if os.path.exists(target):
            fail("a cancelled export left " + target)
        if desktop.app.poll() is not None:
            fail("the program ended")
        desktop.stop()
        print("ok: the view kept playing during the export; Escape cancelled it and left no file")

        # ---- A finished export holds the frames the command line writes ------------------------
        source = os.path.join(tmp, "short.txt")
        loop = os.path.join(tmp, "short.lqf")
        with open(source, "w") as f:
            f.write(SHORT_LOOP)
        if desktop.run(cli, "compile", source, loop).returncode != 0:
            fail("cannot compile the test loop")
        desktop.start(vantaloop, bin_dir, loop)
        dialog = desktop.open_export_dialog()
        gui_file = os.path.join(tmp, "desktop.mkv")
        desktop.type_file_name(dialog, gui_file)
        wait_for(lambda: os.path.exists(gui_file) and not any(f.startswith(".vl-") for f in os.listdir(tmp)),
                 300, "the desktop export to finish")
        desktop.stop()
        cli_file = os.path.join(tmp, "cli.mkv")
        r = desktop.run(cli, "--library", bin_dir, "export", loop, cli_file, "--preset", "1", "--format", "mkv")
        if r.returncode != 0:
            fail("vantaloop-cli export failed: " + r.stderr)
        gui_sums, cli_sums = frame_sums(gui_file), frame_sums(cli_file)
        if len(cli_sums) != 12:
            fail("vantaloop-cli wrote %d frames, not 12" % len(cli_sums))
        if gui_sums != cli_sums:
            fail("the desktop export's frames differ from vantaloop-cli export's")
        print("ok: the desktop export holds the same 12 frames as vantaloop-cli export")

        # ---- DVD with a sound file, chosen in the dialog ---------------------------------------
        tone = os.path.join(tmp, "tone.wav")
        r = desktop.run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=0.3",
                        "-ac", "1", "-ar", "22050", tone)
        if r.returncode != 0:
            fail("cannot make the tone: " + r.stderr)
        desktop.start(vantaloop, bin_dir, loop)
        dialog = desktop.open_export_dialog()
        gui_dvd = os.path.join(tmp, "desktop_dvd.mpg")  # .mpg for preset 1 (DV): the DVD format
        desktop.type_file_name(dialog, gui_dvd, sound=tone)
        wait_for(lambda: os.path.exists(gui_dvd) and not any(f.startswith(".vl-") for f in os.listdir(tmp)),
                 300, "the desktop DVD export to finish")
        desktop.stop()
        cli_dvd = os.path.join(tmp, "cli_dvd.mpg")
        r = desktop.run(cli, "--library", bin_dir, "export", loop, cli_dvd, "--preset", "1", "--format", "dvd",
                        "--audio", tone)
        if r.returncode != 0:
            fail("vantaloop-cli export --format dvd failed: " + r.stderr)
        gui_streams, cli_streams = probe_streams(gui_dvd), probe_streams(cli_dvd)
        if "ac3|audio|2" not in gui_streams or not any(s.startswith("mpeg2video|video") for s in gui_streams):
            fail("the desktop DVD holds %s, not MPEG-2 video with AC-3 sound" % gui_streams)
        # The tone, not the silence a DVD gets without a sound file.
        if sound_peak(gui_dvd) < 1000:  # the tone peaks near 4096, silence at 0
            fail("the desktop DVD's sound is silent (peak %d): the chosen sound file did not reach it"
                 % sound_peak(gui_dvd))
        if gui_streams != cli_streams:
            fail("the desktop DVD's streams %s differ from vantaloop-cli's %s" % (gui_streams, cli_streams))
        for name, path in (("desktop", gui_dvd), ("vantaloop-cli", cli_dvd)):
            good, log = dvd_author(tmp, path, "ntsc")
            if not good:
                fail("dvdauthor did not make a DVD of the %s file cleanly:\n%s" % (name, log))
            if "Audio ch 0 format: ac3/2ch" not in good:
                fail("the %s DVD has no AC-3 sound track:\n%s" % (name, good))
        if frame_sums(gui_dvd) != frame_sums(cli_dvd):
            fail("the desktop DVD's frames differ from vantaloop-cli export's")
        print("ok: a DVD with a sound file chosen in the dialog authors as vantaloop-cli's does")
    finally:
        desktop.close()
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
