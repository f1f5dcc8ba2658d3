// Echo sums: echoes of every layer count share a few programs, and a sum drawn by a program built
// for more layers than the echo has adds only what its own layers add.
#include <gtest/gtest.h>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "platform/headless/headless_context.h"
#include "render/echo_sum.h"
#include "tests/render/gl_test_context.h"

namespace vl::render {
namespace {

// A capture of one grey level everywhere, clamped at its edges: the sums cannot tell where it
// holds only its background, so every layer is sampled everywhere.
GLuint GreyCapture(int level) {
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  std::vector<uint8_t> pixels(64 * 64 * 4, static_cast<uint8_t>(level));
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 64, 64, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  return texture;
}

EchoInputs Layers(GLuint texture, int count) {
  EchoInputs in;
  in.texture = texture;
  in.colour = {1.0f, 0.5f, 0.25f};
  for (int i = 0; i < count; ++i) in.layers.push_back({0.01f * static_cast<float>(i), 9 + 3 * i});
  return in;
}

TEST(EchoSum, EveryLayerCountSharesAFewPrograms) {
  VL_REQUIRE_GL(gl, 32, 24);
  EchoSum sum;
  ASSERT_TRUE(sum.Init(true, true));
  const GLuint capture = GreyCapture(200);
  glViewport(0, 0, 32, 24);
  glEnable(GL_BLEND);
  for (int count = 1; count <= 70; ++count) {
    EchoInputs in = Layers(capture, count);
    in.serial = count;
    ASSERT_TRUE(sum.Add(in, 32, 24, false, -1)) << count << " layers";
  }
  // One program per size the passes are cut to, not one per count: each is compiled code the
  // driver keeps for the context's life.
  EXPECT_LE(sum.programs_built(), 4);
}

TEST(EchoSum, PaddedPassesAddOnlyTheEchosOwnLayers) {
  VL_REQUIRE_GL(gl, 32, 24);
  EchoSum sum;
  ASSERT_TRUE(sum.Init(true, true));
  const GLuint capture = GreyCapture(90);
  glViewport(0, 0, 32, 24);
  glEnable(GL_BLEND);
  // 5 and 17 layers: passes of 16 and programs with room for 8 and 4; 2 saturates nothing.
  for (int count : {2, 5, 17}) {
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    const EchoInputs in = Layers(capture, count);
    ASSERT_TRUE(sum.Add(in, 32, 24, false, -1));
    const headless::Image image = gl->ReadPixels();
    for (int c = 0; c < 3; ++c) {
      int expected = 0;
      for (const EchoLayer& l : in.layers)
        expected += ConstantLayerValue(in.colour[static_cast<size_t>(c)], 90, l.alpha8);
      EXPECT_EQ(image.Pixel(16, 12)[c], std::min(expected, 255)) << count << " layers, channel " << c;
    }
  }
}

// A lit echo of a capture holding one grey level adds, per pixel, what the lit colour there makes
// of that grey. When the colour is the same all over (a light from far away), the levels found
// without drawing are what the summing pass draws; when the colour varies they are either
// declined or still right everywhere.
TEST(EchoSum, LitEchoesOfOneGreyAddTheLevelsTheirColourGives) {
  VL_REQUIRE_GL(gl, 40, 30);
  EchoSum sum;
  ASSERT_TRUE(sum.Init(true, true));
  const GLuint capture = GreyCapture(200);
  glViewport(0, 0, 40, 30);
  glEnable(GL_BLEND);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glNormal3f(0.0f, 0.0f, 1.0f);
  const GLfloat diffuse[4] = {0.9f, 0.6f, 0.3f, 1.0f};
  glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
  struct Light {
    const char* name;
    GLfloat position[4];
    bool uniform;
  };
  const Light lights[] = {{"far away", {0.0f, 0.0f, 1.0f, 0.0f}, true},
                          {"close to one corner", {0.0f, 0.0f, 60.0f, 1.0f}, false}};
  for (const Light& light : lights) {
    SCOPED_TRACE(light.name);
    glLightfv(GL_LIGHT0, GL_POSITION, light.position);
    EchoInputs in = Layers(capture, 25);
    in.lit = true;
    in.grey = 200;
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    ASSERT_TRUE(sum.Add(in, 40, 30, false, -1));
    const headless::Image drawn = gl->ReadPixels();
    std::array<int, 3> levels{-1, -1, -1};
    const bool flat = sum.LitGreyLevels(in, &levels);
    if (light.uniform) {
      ASSERT_TRUE(flat);
      EXPECT_GT(levels[0], 0);
    }
    if (!flat) continue;
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(drawn.Pixel(x, y)[c], levels[static_cast<size_t>(c)]) << x << "," << y << " channel " << c;
  }
  glDisable(GL_LIGHTING);
}

// The shortcuts give the plain sums' bytes: an echo summed straight into the frame (its colour
// buffer borrowed) and kept in the same passes gives the same frame, and the same repeat later, as
// one summed aside and added after, unlit or lit with its unlit repeat; and a lit echo over a
// background, where tiles the light leaves at one level are drawn flat, or of a capture of one
// grey level, gives what the summing program draws in every tile.
// A capture that holds its background level but for a patch in the middle, repeating at its
// edges as the glow captures do: the sums sample different layers in different tiles.
GLuint PatchCapture() {
  GLuint capture = 0;
  glGenTextures(1, &capture);
  glBindTexture(GL_TEXTURE_2D, capture);
  std::vector<uint8_t> pixels(64 * 64 * 4, 12);  // the background level, under most of the capture
  for (int y = 20; y < 44; ++y)
    for (int x = 16; x < 48; ++x)
      for (int c = 0; c < 4; ++c) pixels[static_cast<size_t>(y * 64 + x) * 4 + c] = static_cast<uint8_t>(4 * x + y);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 64, 64, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  return capture;
}

TEST(EchoSum, ShortcutsGiveThePlainSumsBytes) {
  VL_REQUIRE_GL(gl, 160, 128);
  const GLuint capture = PatchCapture();
  glViewport(0, 0, 160, 128);
  glEnable(GL_BLEND);

  enum class Case { kUnlit, kLit, kLitGrey };
  auto run = [&](bool borrow, Case which) {
    const bool lit = which != Case::kUnlit;
    EchoSum sum;
    EXPECT_TRUE(sum.Init(true, true));
    sum.set_plain(!borrow);
    std::vector<headless::Image> frames;
    auto clear = [] {
      glClearColor(0.1f, 0.2f, 0.3f, 1.0f);
      glClear(GL_COLOR_BUFFER_BIT);
    };
    EchoInputs in = Layers(capture, 20);
    in.serial = 1;
    if (lit) {
      glEnable(GL_LIGHTING);
      glEnable(GL_LIGHT0);
      glEnable(GL_COLOR_MATERIAL);                              // as the layers draw: the colour is the material's
      const GLfloat position[4] = {0.0f, 0.0f, 1500.0f, 1.0f};  // far off one corner: shading gently
      glLightfv(GL_LIGHT0, GL_POSITION, position);
      in.lit = true;
      if (which == Case::kLitGrey) {
        in.grey = 12;
        clear();
        EXPECT_TRUE(sum.Add(in, 160, 128, false, -1));
        glDisable(GL_LIGHTING);
        glDisable(GL_COLOR_MATERIAL);
        frames.push_back(gl->ReadPixels());
        return frames;
      }
      EchoInputs late = in;
      late.lit = false;
      std::vector<int> late_alpha8;
      for (const EchoLayer& l : in.layers) late_alpha8.push_back(255 - l.alpha8);
      for (size_t i = 0; i < late.layers.size(); ++i) late.layers[i].alpha8 = late_alpha8[i];
      clear();
      EXPECT_TRUE(sum.AddWithLate(in, late_alpha8, late, 160, 128, 0, false));
      glDisable(GL_LIGHTING);
      glDisable(GL_COLOR_MATERIAL);
      frames.push_back(gl->ReadPixels());
      clear();
      EXPECT_TRUE(sum.AddKept(0, late, 160, 128));
      frames.push_back(gl->ReadPixels());
    } else {
      clear();
      EXPECT_TRUE(sum.Add(in, 160, 128, false, 1));
      frames.push_back(gl->ReadPixels());
      clear();
      EXPECT_TRUE(sum.AddKept(1, in, 160, 128));
      frames.push_back(gl->ReadPixels());
    }
    return frames;
  };
  glClearColor(0.1f, 0.2f, 0.3f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  const headless::Image blank = gl->ReadPixels();
  for (Case which : {Case::kUnlit, Case::kLit, Case::kLitGrey}) {
    SCOPED_TRACE(which == Case::kUnlit ? "unlit, kept for a repeat"
                 : which == Case::kLit ? "lit, with its unlit repeat"
                                       : "lit, of one grey level");
    const auto borrowed = run(true, which);
    const auto aside = run(false, which);
    ASSERT_EQ(borrowed.size(), aside.size());
    for (size_t f = 0; f < borrowed.size(); ++f) {
      EXPECT_EQ(borrowed[f].rgba, aside[f].rgba) << (f == 0 ? "the frame" : "the repeat");
      EXPECT_NE(borrowed[f].rgba, blank.rgba) << "the echo added nothing";
    }
  }
}

// A program that cannot be built sends the whole echo back to the caller (who draws the quads)
// before anything is drawn into the frame, whichever program it is and whichever way the echo
// is summed; a kept sum that cannot be added again is refused too. Each program is asked for
// once: a failure is remembered, not retried with every echo.
TEST(EchoSum, AProgramThatCannotBeBuiltLeavesTheFrameUntouched) {
  constexpr int kW = 320, kH = 256;  // large enough for the fast sums to take the reduced way
  VL_REQUIRE_GL(gl, kW, kH);
  const GLuint capture = PatchCapture();
  glViewport(0, 0, kW, kH);
  glEnable(GL_BLEND);
  auto clear = [] {
    glClearColor(0.1f, 0.2f, 0.3f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
  };
  clear();
  const headless::Image blank = gl->ReadPixels();
  EchoInputs in = Layers(capture, 40);
  in.serial = 1;
  for (size_t i = 0; i < in.layers.size(); ++i) in.layers[i].inset = 0.02f * static_cast<float>(i);

  // Builds fail for the fragment programs whose text holds `failing`.
  struct Failing {
    const char* what;
    const char* text;
  };
  const Failing programs[] = {{"four layers", "vec2 layer[4];"},
                              {"eight layers", "vec2 layer[8];"},
                              {"twelve layers", "vec2 layer[12];"},
                              {"sixteen layers", "vec2 layer[16];"},
                              {"the add program", "uniform sampler2D sum;"}};
  struct Way {
    const char* what;
    bool fast, plain;
    int keep;
  };
  const Way ways[] = {{"straight into the frame", false, false, -1},
                      {"kept, borrowing the frame", false, false, 0},
                      {"kept, summed aside", false, true, 0},
                      {"fast", true, false, -1},
                      {"fast, kept", true, false, 0}};
  // What each way draws when every program builds.
  std::vector<headless::Image> expected;
  for (const Way& way : ways) {
    EchoSum sum;
    ASSERT_TRUE(sum.Init(true, true));
    sum.set_plain(way.plain);
    clear();
    ASSERT_TRUE(sum.Add(in, kW, kH, way.fast, way.keep));
    expected.push_back(gl->ReadPixels());
    ASSERT_FALSE(expected.back().rgba == blank.rgba);
  }
  int refused = 0;
  for (const Failing& failing : programs) {
    for (size_t w = 0; w < std::size(ways); ++w) {
      const Way& way = ways[w];
      SCOPED_TRACE(std::string(failing.what) + " failing, " + way.what);
      EchoSum sum;
      ASSERT_TRUE(sum.Init(true, true));
      sum.set_plain(way.plain);
      int failed_builds = 0;
      sum.set_program_builder([&](const std::string& fragment, bool vertex_stage) -> uint32_t {
        if (fragment.find(failing.text) == std::string::npos) return EchoSum::LinkProgram(fragment, vertex_stage);
        ++failed_builds;
        return 0;
      });
      for (int round = 0; round < 3; ++round) {
        clear();
        const bool added = sum.Add(in, kW, kH, way.fast, way.keep);
        refused += !added;
        EXPECT_TRUE(gl->ReadPixels().rgba == (added ? expected[w] : blank).rgba)
            << (added ? "the echo was not all drawn" : "part of a refused echo was drawn");
        if (way.keep < 0) continue;
        clear();
        const bool again = sum.AddKept(way.keep, in, kW, kH);
        if (!added) { EXPECT_FALSE(again) << "a refused echo was kept"; }
        EXPECT_TRUE(gl->ReadPixels().rgba == (again ? expected[w] : blank).rgba)
            << (again ? "the repeat was not all drawn" : "part of a refused repeat was drawn");
      }
      EXPECT_LE(failed_builds, 1) << "a program that failed was built again";
    }
  }
  EXPECT_GT(refused, 0) << "no echo needed a program that failed";
}

}  // namespace
}  // namespace vl::render
