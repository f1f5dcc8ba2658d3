#include "render/echo_sum.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace vl::render {

namespace {

// Longer echoes are summed in several passes; saturating adds of non-negative values do not
// depend on how they are grouped. Keeps each program small enough for any uniform limit.
constexpr int kMaxLayersPerPass = 64;

// The fast sums: half the output in each direction, but never below this (nor above the output):
// the captures are 512 x 512 grey images whose detail a coarser sum would lose.
constexpr int kFastMinWidth = 360;
constexpr int kFastMinHeight = 288;
// A layer goes to the reduced sum when each of its capture texels spans at least this many...
// reduced pixels' worth: texels across the layer divided by reduced pixels across.
constexpr float kFastSoftTexelsPerPixel = 0.5f;

// Every pass draws one quad over its viewport; p runs from 0 to 1 across it.
constexpr const char* kVertexSource = R"(#version 130
out vec2 p;
void main() {
  p = gl_Vertex.xy;
  gl_Position = vec4(gl_Vertex.xy * 2.0 - 1.0, 0.0, 1.0);
}
)";

// One layer as the fixed-function quads compute it: the texture coordinate runs from t to 1 - t
// across the output; the luminance times the layer colour is stored at 8 bits (round to nearest
// even), then multiplied by the 8-bit alpha and rounded (the blend), then added. The colour is the
// layers' own (gl_Color of the same quad), or, lit, read from an image of the lit quad drawn by
// the fixed-function pipeline itself.
std::string FragmentSource(int layers, bool lit, bool grey) {
  std::string s =
      "#version 130\n"
      "uniform float grey;\n"
      "uniform sampler2D capture;\n"
      "uniform sampler2D lit_colour;\n"
      "uniform vec2 inv_size;\n"
      "uniform float alpha_sum;\n"
      "uniform vec2 layer[" + std::to_string(layers) + "];\n"
      "void main() {\n"
      "  vec2 p = gl_FragCoord.xy * inv_size;\n"
      "  vec2 q = 1.0 - 2.0 * p;\n"
      + std::string(lit ? "  vec3 colour = texelFetch(lit_colour, ivec2(gl_FragCoord.xy), 0).rgb;\n"
                        : "  vec3 colour = gl_Color.rgb;\n") +
      "  vec3 sum = vec3(0.0);\n"
      "  vec3 c8;\n";
  // Unrolled with literal indices: with the count as a uniform the loop is no faster than quads.
  for (int i = 0; i < layers; ++i) {
    const std::string l = "layer[" + std::to_string(i) + "]";
    // A capture of one grey level needs no sampling.
    const std::string sample = grey ? std::string("grey") : "texture(capture, " + l + ".x * q + p).r";
    s += "  c8 = roundEven(clamp(colour * " + sample + ", 0.0, 1.0) * 255.0);\n";
    s += "  sum += floor(c8 * (" + l + ".y / 255.0) + 0.5);\n";
  }
  s += "  gl_FragColor = vec4(min(sum, vec3(255.0)) / 255.0, alpha_sum);\n}\n";
  return s;
}

constexpr const char* kAddSource = R"(#version 130
uniform sampler2D sum;
in vec2 p;
void main() { gl_FragColor = texture(sum, p); }
)";

uint32_t Compile(GLenum type, const std::string& source) {
  GLuint shader = glCreateShader(type);
  const char* text = source.c_str();
  glShaderSource(shader, 1, &text, nullptr);
  glCompileShader(shader);
  GLint ok = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (!ok) {
    glDeleteShader(shader);
    return 0;
  }
  return shader;
}

// vertex_stage false: the fixed-function vertex pipeline feeds the fragment program.
uint32_t Link(const std::string& fragment, bool vertex_stage = true) {
  GLuint vs = vertex_stage ? Compile(GL_VERTEX_SHADER, kVertexSource) : 0;
  GLuint fs = Compile(GL_FRAGMENT_SHADER, fragment);
  if ((vertex_stage && !vs) || !fs) {
    if (vs) glDeleteShader(vs);
    if (fs) glDeleteShader(fs);
    return 0;
  }
  GLuint program = glCreateProgram();
  if (vs) glAttachShader(program, vs);
  glAttachShader(program, fs);
  glLinkProgram(program);
  if (vs) glDeleteShader(vs);
  glDeleteShader(fs);
  GLint ok = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    glDeleteProgram(program);
    return 0;
  }
  return program;
}

// The layers' own quad: the 640 x 480 canvas over the viewport, in the colour they set.
void CanvasQuad(const std::array<float, 3>& colour) {
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0.0, 640.0, 480.0, 0.0, -1.0, 1.0);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  glColor4f(colour[0], colour[1], colour[2], 1.0f);
  glBegin(GL_QUADS);
  glVertex2f(0.0f, 0.0f);
  glVertex2f(0.0f, 480.0f);
  glVertex2f(640.0f, 480.0f);
  glVertex2f(640.0f, 0.0f);
  glEnd();
  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
}

void UnitQuad() {
  glBegin(GL_QUADS);
  glVertex2f(0.0f, 0.0f);
  glVertex2f(1.0f, 0.0f);
  glVertex2f(1.0f, 1.0f);
  glVertex2f(0.0f, 1.0f);
  glEnd();
}

constexpr const char* kFlatSource = R"(#version 130
uniform vec4 value;
void main() { gl_FragColor = value; }
)";

// Programs are per context; the renderer keeps one EchoSum per context.

}  // namespace

int ToUnorm8(float value) {
  if (!(value > 0.0f)) return 0;  // NaN too
  if (value >= 1.0f) return 255;
  return static_cast<int>(std::nearbyint(value * 255.0f));
}

int ConstantLayerValue(float colour, int grey8, int alpha8) {
  const float grey = static_cast<float>(grey8) / 255.0f;
  const int c8 = ToUnorm8(std::clamp(colour, 0.0f, 1.0f) * grey);
  return (c8 * alpha8 + 127) / 255;
}

bool EchoInputs::operator==(const EchoInputs& o) const {
  if (texture != o.texture || colour != o.colour || lit != o.lit || grey != o.grey || serial != o.serial || layers.size() != o.layers.size())
    return false;
  for (size_t i = 0; i < layers.size(); ++i)
    if (layers[i].inset != o.layers[i].inset || layers[i].alpha8 != o.layers[i].alpha8) return false;
  return true;
}

bool EchoSum::Init(bool fragment_programs, bool framebuffer_objects) {
  available_ = fragment_programs && framebuffer_objects;
  return available_;
}

uint32_t EchoSum::Program(int layer_count, bool lit, bool grey) {
  const int key = layer_count * 4 + (lit ? 1 : 0) + (grey ? 2 : 0);
  auto it = programs_.find(key);
  if (it != programs_.end()) return it->second;
  const uint32_t program = Link(FragmentSource(layer_count, lit, grey), false);
  programs_[key] = program;
  if (program) {
    glUseProgram(program);
    glUniform1i(glGetUniformLocation(program, "capture"), 0);
    glUniform1i(glGetUniformLocation(program, "lit_colour"), 1);
  }
  return program;
}

bool EchoSum::DrawLitColour(const EchoInputs& inputs) {
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  Target& t = lit_colour_;
  if (!t.framebuffer) {
    glGenFramebuffers(1, &t.framebuffer);
    glGenTextures(1, &t.texture);
  }
  if (t.width != viewport[2] || t.height != viewport[3]) {
    glBindTexture(GL_TEXTURE_2D, t.texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, viewport[2], viewport[3], 0, GL_RGBA, GL_FLOAT, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    t.width = viewport[2];
    t.height = viewport[3];
  }
  GLint previous_draw = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous_draw);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, t.framebuffer);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, t.texture, 0);
  const bool complete = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  if (complete) {
    // The quad as the layers draw it, lit, untextured and unblended: its colour per pixel.
    glUseProgram(0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    CanvasQuad(inputs.colour);
    glEnable(GL_BLEND);
    glEnable(GL_TEXTURE_2D);
  }
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous_draw));
  return complete;
}

bool EchoSum::SumPasses(const EchoInputs& inputs) {
  const int n = static_cast<int>(inputs.layers.size());
  const bool lit = inputs.lit;
  if (lit) {
    if (!DrawLitColour(inputs)) return false;
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, lit_colour_.texture);
    glActiveTexture(GL_TEXTURE0);
  }
  std::vector<float> packed;
  for (int first = 0; first < n; first += kMaxLayersPerPass) {
    const int count = std::min(kMaxLayersPerPass, n - first);
    const uint32_t program = Program(count, lit, inputs.grey >= 0);
    if (!program) return false;
    packed.clear();
    int alpha_sum = 0;
    for (int i = first; i < first + count; ++i) {
      const EchoLayer& l = inputs.layers[static_cast<size_t>(i)];
      packed.push_back(l.inset);
      packed.push_back(static_cast<float>(l.alpha8));
      // The alpha channel blends with the source alpha too.
      alpha_sum += (l.alpha8 * l.alpha8 + 127) / 255;
    }
    glUseProgram(program);
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    glUniform2f(glGetUniformLocation(program, "inv_size"), 1.0f / static_cast<float>(std::max(viewport[2], 1)),
                1.0f / static_cast<float>(std::max(viewport[3], 1)));
    if (inputs.grey >= 0) glUniform1f(glGetUniformLocation(program, "grey"), static_cast<float>(inputs.grey) / 255.0f);
    glUniform1f(glGetUniformLocation(program, "alpha_sum"), static_cast<float>(std::min(alpha_sum, 255)) / 255.0f);
    glUniform2fv(glGetUniformLocation(program, "layer"), count, packed.data());
    glBindTexture(GL_TEXTURE_2D, inputs.texture);
    CanvasQuad(inputs.colour);
    ++passes_drawn_;
  }
  return true;
}

bool EchoSum::PrepareTarget(Target& t, int width, int height) {
  if (!t.framebuffer) {
    glGenFramebuffers(1, &t.framebuffer);
    glGenTextures(1, &t.texture);
  }
  if (t.width != width || t.height != height) {
    glBindTexture(GL_TEXTURE_2D, t.texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    GLint previous = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, t.framebuffer);
    glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, t.texture, 0);
    const bool complete = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous));
    if (!complete) {
      t.width = t.height = 0;
      return false;
    }
    t.width = width;
    t.height = height;
  }
  return true;
}

void EchoSum::AddTarget(const Target& t, int width, int height) {
  if (!add_program_) {
    add_program_ = Link(kAddSource);
    if (!add_program_) return;
    glUseProgram(add_program_);
    glUniform1i(glGetUniformLocation(add_program_, "sum"), 0);
  }
  glUseProgram(add_program_);
  glBindTexture(GL_TEXTURE_2D, t.texture);
  // Same size: each pixel reads its own texel. Smaller (fast): spread bilinearly.
  const GLint filter = (t.width == width && t.height == height) ? GL_NEAREST : GL_LINEAR;
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
  UnitQuad();
  ++passes_drawn_;
}

bool EchoSum::SumInto(Target& t, const EchoInputs& inputs, int tw, int th, int width, int height) {
  t.filled = false;
  if (!PrepareTarget(t, tw, th)) return false;
  GLint previous_draw = 0;
  GLfloat clear[4];
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous_draw);
  glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, t.framebuffer);
  glViewport(0, 0, tw, th);
  glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  const bool ok = SumPasses(inputs);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous_draw));
  glViewport(0, 0, width, height);
  glClearColor(clear[0], clear[1], clear[2], clear[3]);
  if (!ok) return false;
  t.filled = true;
  t.inputs = inputs;
  AddTarget(t, width, height);
  return true;
}

bool EchoSum::Add(const EchoInputs& inputs, int width, int height, bool fast, int keep_slot) {
  if (!available_ || width < 1 || height < 1) return false;
  GLint cull = glIsEnabled(GL_CULL_FACE);
  glDisable(GL_CULL_FACE);
  glBlendFunc(GL_ONE, GL_ONE);
  bool ok = true;
  if (keep_slot >= 0) kept_[static_cast<size_t>(keep_slot) % kept_.size()].filled = false;
  if (fast) {
    // Layers that magnify the capture enough are smooth at the reduced resolution; the others
    // (the outer layers, and the minifying ones far past the middle) keep their sharp edges at
    // full resolution. Zoom layers share the centre, so their edges there line up and a coarse
    // sum of them all would smear a step of every layer at once.
    const int tw = std::min(width, std::max((width + 1) / 2, kFastMinWidth));
    const int th = std::min(height, std::max((height + 1) / 2, kFastMinHeight));
    EchoInputs sharp = inputs, soft = inputs;
    sharp.layers.clear();
    soft.layers.clear();
    for (const EchoLayer& l : inputs.layers) {
      const float span = std::fabs(1.0f - 2.0f * l.inset) * 512.0f;  // capture texels across the output
      const bool smooth = span <= kFastSoftTexelsPerPixel * static_cast<float>(std::min(tw, th));
      ((smooth && (tw < width || th < height)) ? soft : sharp).layers.push_back(l);
    }
    if (!sharp.layers.empty()) ok = SumPasses(sharp);
    if (ok && !soft.layers.empty()) ok = SumInto(scratch_, soft, tw, th, width, height);
  } else if (keep_slot < 0) {
    // Straight into the frame.
    ok = SumPasses(inputs);
  } else {
    ok = SumInto(kept_[static_cast<size_t>(keep_slot) % kept_.size()], inputs, width, height, width, height);
  }
  glUseProgram(0);
  if (cull) glEnable(GL_CULL_FACE);
  return ok;
}

bool EchoSum::AddConstant(int r, int g, int b, int a) {
  if (!available_) return false;
  if (!flat_program_) flat_program_ = Link(kFlatSource);
  if (!flat_program_) return false;
  const GLint cull = glIsEnabled(GL_CULL_FACE);
  glDisable(GL_CULL_FACE);
  glBlendFunc(GL_ONE, GL_ONE);
  glUseProgram(flat_program_);
  auto level = [](int v) { return static_cast<float>(std::clamp(v, 0, 255)) / 255.0f; };
  glUniform4f(glGetUniformLocation(flat_program_, "value"), level(r), level(g), level(b), level(a));
  UnitQuad();
  ++passes_drawn_;
  glUseProgram(0);
  if (cull) glEnable(GL_CULL_FACE);
  return true;
}

bool EchoSum::AddKept(int slot, const EchoInputs& inputs, int width, int height) {
  if (!available_ || slot < 0) return false;
  const Target& t = kept_[static_cast<size_t>(slot) % kept_.size()];
  if (!t.filled || !(t.inputs == inputs)) return false;
  GLint cull = glIsEnabled(GL_CULL_FACE);
  glDisable(GL_CULL_FACE);
  glBlendFunc(GL_ONE, GL_ONE);
  AddTarget(t, width, height);
  glUseProgram(0);
  if (cull) glEnable(GL_CULL_FACE);
  return true;
}

}  // namespace vl::render
