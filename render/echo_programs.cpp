#include "render/echo_programs.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

namespace vl::render {

namespace {

// Every pass draws one quad over its viewport; p runs from 0 to 1 across it.
constexpr const char* kVertexSource = R"(#version 130
out vec2 p;
void main() {
  p = gl_Vertex.xy;
  gl_Position = vec4(gl_Vertex.xy * 2.0 - 1.0, 0.0, 1.0);
}
)";

}  // namespace

// One layer as the fixed-function quads compute it: the texture coordinate runs from t to 1 - t
// across the output, interpolated by the rasteriser over the very triangles the quads are cut
// into (two layers to a texture coordinate set: xy and zw), so it comes out in the same bits and
// a bilinear weight never rounds the other way than the quads' does; the luminance times the
// layer colour is stored at 8 bits (round to nearest even), then multiplied by the 8-bit alpha
// and rounded (the blend), then added. The colour is the layers' own (gl_Color of the same quad),
// or, lit, read from an image of the lit quad drawn by the fixed-function pipeline itself. The
// layers that read only the capture's background where this pass draws add a constant:
// `flat_sum` unlit; lit, it depends on the pixel's colour, and `background_sums` holds it for
// every 8-bit product of colour and background (row `background_row`).
// `late`: the same layers are also summed unlit in `late_colour` with their own alphas into a
// second output (an early lit echo and its late repeat sample the capture once). `same`: the sum
// goes to a second output as well (added to the frame and kept for a repeat at once).
std::string SumFragmentSource(const SumProgramKey& key) {
  const int layers = key.layers;
  const bool lit = key.lit, background_table = key.table, late = key.late, same = key.same;
  std::string s =
      "#version 130\n"
      "uniform float grey;\n"
      "uniform sampler2D capture;\n"
      "uniform sampler2D lit_colour;\n"
      "uniform sampler2D background_sums;\n"
      "uniform int background_row;\n"
      "uniform float alpha_sum;\n"
      "uniform vec3 flat_sum;\n";
  if (layers > 0) s += "uniform vec2 layer[" + std::to_string(layers) + "];\n";
  if (late) {
    s += "uniform vec3 late_colour;\nuniform vec3 late_flat_sum;\nuniform float late_alpha_sum;\n";
    if (layers > 0) s += "uniform float late_alpha[" + std::to_string(layers) + "];\n";
  }
  s += "void main() {\n" +
       std::string(lit ? "  vec3 colour = texelFetch(lit_colour, ivec2(gl_FragCoord.xy), 0).rgb;\n"
                       : "  vec3 colour = gl_Color.rgb;\n") +
       "  vec3 sum = flat_sum;\n"
       "  vec3 c8;\n"
       "  float lum;\n";
  if (late) s += "  vec3 late_sum = late_flat_sum;\n";
  if (background_table) {
    s += "  ivec3 b8 = ivec3(roundEven(clamp(colour * grey, 0.0, 1.0) * 255.0));\n"
         "  sum += vec3(texelFetch(background_sums, ivec2(b8.r, background_row), 0).r,\n"
         "              texelFetch(background_sums, ivec2(b8.g, background_row), 0).r,\n"
         "              texelFetch(background_sums, ivec2(b8.b, background_row), 0).r);\n";
  }
  // Unrolled with literal indices: with the count as a uniform the loop is no faster than quads.
  for (int i = 0; i < layers; ++i) {
    const std::string l = "layer[" + std::to_string(i) + "]";
    s += "  lum = texture(capture, gl_TexCoord[" + std::to_string(i / 2) + "]." + (i % 2 ? "zw" : "xy") + ").r;\n";
    s += "  c8 = roundEven(clamp(colour * lum, 0.0, 1.0) * 255.0);\n";
    s += "  sum += floor(c8 * (" + l + ".y / 255.0) + 0.5);\n";
    if (late) {
      s += "  c8 = roundEven(clamp(late_colour * lum, 0.0, 1.0) * 255.0);\n";
      s += "  late_sum += floor(c8 * (late_alpha[" + std::to_string(i) + "] / 255.0) + 0.5);\n";
    }
  }
  if (late) {
    s += "  gl_FragData[0] = vec4(min(sum, vec3(255.0)) / 255.0, alpha_sum);\n"
         "  gl_FragData[1] = vec4(min(late_sum, vec3(255.0)) / 255.0, late_alpha_sum);\n}\n";
  } else if (same) {
    s += "  gl_FragData[0] = vec4(min(sum, vec3(255.0)) / 255.0, alpha_sum);\n"
         "  gl_FragData[1] = gl_FragData[0];\n}\n";
  } else {
    s += "  gl_FragColor = vec4(min(sum, vec3(255.0)) / 255.0, alpha_sum);\n}\n";
  }
  return s;
}

namespace {

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
uint32_t LinkShaders(const std::string& fragment, bool vertex_stage) {
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

constexpr const char* kFlatSource = R"(#version 130
uniform vec4 value;
void main() { gl_FragColor = value; }
)";

}  // namespace

ProgramInUse::ProgramInUse(uint32_t program) {
  glGetIntegerv(GL_CURRENT_PROGRAM, &previous_);
  glUseProgram(program);
}

ProgramInUse::~ProgramInUse() { glUseProgram(static_cast<GLuint>(previous_)); }

uint32_t EchoPrograms::Link(const std::string& fragment, bool vertex_stage) {
  return LinkShaders(fragment, vertex_stage);
}

const SumProgram* EchoPrograms::Sum(const SumProgramKey& key) {
  auto it = sums_.find(key);
  if (it == sums_.end()) {
    SumProgram p;
    p.id = builder_(SumFragmentSource(key), false);
    if (p.id) {
      auto at = [&p](const char* name) { return glGetUniformLocation(p.id, name); };
      ProgramInUse use(p.id);
      glUniform1i(at("capture"), 0);
      glUniform1i(at("lit_colour"), 1);
      glUniform1i(at("background_sums"), 2);
      p.grey = at("grey"), p.background_row = at("background_row"), p.alpha_sum = at("alpha_sum");
      p.flat_sum = at("flat_sum"), p.layer = at("layer"), p.late_alpha = at("late_alpha");
      p.late_colour = at("late_colour"), p.late_flat_sum = at("late_flat_sum"), p.late_alpha_sum = at("late_alpha_sum");
    }
    it = sums_.emplace(key, p).first;
  }
  return it->second.id ? &it->second : nullptr;
}

uint32_t EchoPrograms::Add() {
  if (!add_ && !add_failed_) {
    add_ = builder_(kAddSource, true);
    add_failed_ = !add_;
    if (add_) {
      ProgramInUse use(add_);
      glUniform1i(glGetUniformLocation(add_, "sum"), 0);
    }
  }
  return add_;
}

uint32_t EchoPrograms::Flat() {
  if (!flat_ && !flat_failed_) {
    flat_ = builder_(kFlatSource, true);
    flat_failed_ = !flat_;
    if (flat_) flat_value_ = glGetUniformLocation(flat_, "value");
  }
  return flat_;
}

}  // namespace vl::render
