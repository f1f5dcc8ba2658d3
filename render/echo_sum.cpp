// EchoSum's ways of adding an echo: whole at full size, in part at reduced size (fast), kept for a
// repeat, with its late repeat, or as one constant. Each is made ready (programs built, targets
// made, what goes aside summed) before anything touches the frame.
#include "render/echo_sum.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>

#include "render/echo_draw.h"

namespace vl::render {

uint32_t EchoSum::LinkProgram(const std::string& fragment, bool vertex_stage) {
  return EchoPrograms::Link(fragment, vertex_stage);
}

bool EchoSum::Init(bool fragment_programs, bool framebuffer_objects) {
  available_ = fragment_programs && framebuffer_objects;
  return available_;
}

bool EchoSum::Add(const EchoInputs& inputs, int width, int height, bool fast, int keep_slot) {
  if (!available_ || width < 1 || height < 1) return false;
  EchoStateGuard guard;
  SumTarget* kept = keep_slot >= 0 ? &targets_.kept(keep_slot) : nullptr;
  if (kept) kept->filled = false;
  EchoInputs sharp = inputs, soft = inputs;
  if (fast) {
    sharp.layers.clear();
    soft.layers.clear();
    const std::vector<char> smooth = SoftLayers(inputs, width, height);
    for (size_t i = 0; i < inputs.layers.size(); ++i) (smooth[i] ? soft : sharp).layers.push_back(inputs.layers[i]);
    // Kept, the reduced way adds twice (into the kept image, then that); the full way adds
    // straight into the frame.
    fast = ReducedPays(inputs, sharp, soft, width, height, kept ? 2 : 1, kept && plain_ ? 1 : 0);
  }
  return fast ? AddReduced(inputs, sharp, soft, width, height, kept) : AddFull(inputs, width, height, kept);
}

bool EchoSum::AddReduced(const EchoInputs& inputs, const EchoInputs& sharp, const EchoInputs& soft, int width,
                         int height, SumTarget* kept) {
  const int tw = ReducedSize(width), th = ReducedSize(height);
  // Everything is made ready, and the reduced part summed aside, before the frame is touched.
  if (!CanSum(sharp, width, height) || !CanSum(soft, tw, th) || !AddReady()) return false;
  if (kept && !targets_.Prepare(*kept, width, height)) return false;
  if (!soft.layers.empty() && !SumAside(targets_.scratch(), soft, tw, th)) return false;
  if (!kept) {
    if (!sharp.layers.empty() && !SumPasses(sharp, width, height, nullptr)) return false;
    return soft.layers.empty() || AddTarget(targets_.scratch(), width, height);
  }
  // Kept for a repeat: both parts are summed into the kept image (saturating adds of levels group
  // freely), which is then added as a full-size sum is.
  {
    DrawInto into(kept->framebuffer, width, height);
    DrawInto::Clear();
    if (sharp.layers.empty()) ClearTiles(&kept->tiles, width, height);
    else if (!SumPasses(sharp, width, height, &kept->tiles)) return false;
    if (!soft.layers.empty() && !AddTarget(targets_.scratch(), width, height, &kept->tiles)) return false;
  }
  kept->filled = true;
  kept->inputs = inputs;
  return AddTarget(*kept, width, height);
}

bool EchoSum::AddFull(const EchoInputs& inputs, int width, int height, SumTarget* kept) {
  if (!kept) return CanSum(inputs, width, height) && SumPasses(inputs, width, height, nullptr);
  // Kept for a repeat: summed straight into the frame and the kept image at once where the
  // frame's colour buffer can be borrowed, else summed aside and added.
  LateSum same;
  same.same = true;
  if (!plain_ && PrepareDirect(*kept, width, height)) {
    if (!CanSum(inputs, width, height, &same) || !SumDirect(*kept, inputs, width, height)) return false;
    kept->filled = true;
    kept->inputs = inputs;
    return true;
  }
  if (!CanSum(inputs, width, height) || !AddReady() || !SumAside(*kept, inputs, width, height)) return false;
  return AddTarget(*kept, width, height);
}

bool EchoSum::SumAside(SumTarget& t, const EchoInputs& inputs, int tw, int th) {
  t.filled = false;
  if (!targets_.Prepare(t, tw, th)) return false;
  DrawInto into(t.framebuffer, tw, th);
  DrawInto::Clear();
  if (!SumPasses(inputs, tw, th, &t.tiles)) return false;
  t.filled = true;
  t.inputs = inputs;
  return true;
}

bool EchoSum::DualSum(SumTarget& first, SumTarget& second, const EchoInputs& inputs, const LateSum& late, int width,
                      int height) {
  if (!targets_.Prepare(first, width, height) || !targets_.Prepare(second, width, height)) return false;
  bool ok;
  {
    DrawInto into(0, width, height);  // puts back the binding BindBoth replaces
    ok = targets_.BindBoth(first, second);
    if (ok) {
      DrawInto::Clear();
      glBlendFunc(GL_ONE, GL_ONE);
      if (inputs.layers.empty()) ClearTiles(&first.tiles, width, height);
      else ok = SumPasses(inputs, width, height, &first.tiles, &late);
    }
  }
  second.tiles = first.tiles;
  return ok;
}

bool EchoSum::ReducedPays(const EchoInputs& all, const EchoInputs& sharp, const EchoInputs& soft, int width, int height,
                          int reduced_adds, int full_adds) {
  return vl::render::ReducedPays(all.grey < 0 ? ContentOf(all) : nullptr, all, sharp, soft, width, height, reduced_adds,
                                 full_adds);
}

bool EchoSum::LitGreyLevels(const EchoInputs& inputs, std::array<int, 3>* sum) {
  return probes_.GreyLevels(inputs, sum);
}

bool EchoSum::ConstantReady() {
  if (!available_) return false;
  return programs_.Flat() != 0;
}

bool EchoSum::PrepareDirect(SumTarget& kept, int width, int height) {
  return targets_.Prepare(kept, width, height) && targets_.BorrowFrame(kept);
}

bool EchoSum::SumDirect(SumTarget& kept, const EchoInputs& inputs, int width, int height, const LateSum* late) {
  {
    DrawInto into(kept.framebuffer, width, height);
    DrawInto::Clear();
  }
  DrawInto into(targets_.frame_pair(), width, height);
  glBlendFunc(GL_ONE, GL_ONE);
  LateSum same;
  same.same = true;
  return SumPasses(inputs, width, height, &kept.tiles, late ? late : &same);
}

bool EchoSum::AddWithLate(const EchoInputs& early, const std::vector<int>& late_alpha8, const EchoInputs& late,
                          int width, int height, int slot, bool fast) {
  if (!available_ || width < 1 || height < 1 || slot < 0 || late_alpha8.size() != early.layers.size() ||
      early.grey >= 0)
    return false;
  SumTarget& kept = targets_.kept(slot);
  kept.filled = false;
  // Split as Add splits (fast: the smooth layers at reduced size), each part summed for both
  // echoes at once.
  EchoInputs sharp = early, soft = early;
  sharp.layers.clear();
  soft.layers.clear();
  LateSum late_sharp, late_soft;
  late_sharp.colour = late_soft.colour = late.colour;
  std::vector<char> smooth = fast ? SoftLayers(early, width, height) : std::vector<char>(early.layers.size(), 0);
  if (fast) {
    EchoInputs sharp_part = early, soft_part = early;
    sharp_part.layers.clear();
    soft_part.layers.clear();
    for (size_t i = 0; i < early.layers.size(); ++i)
      (smooth[i] ? soft_part : sharp_part).layers.push_back(early.layers[i]);
    // The reduced way adds twice (the early part into the frame, the repeat's into its kept
    // image); the full way adds straight into the frame.
    if (!ReducedPays(early, sharp_part, soft_part, width, height, 2, plain_ ? 1 : 0)) smooth.assign(smooth.size(), 0);
  }
  for (size_t i = 0; i < early.layers.size(); ++i) {
    (smooth[i] ? soft : sharp).layers.push_back(early.layers[i]);
    LateSum& part = smooth[i] ? late_soft : late_sharp;
    part.alpha8.push_back(late_alpha8[i]);
    part.alpha_total += (late_alpha8[i] * late_alpha8[i] + 127) / 255;
  }
  EchoStateGuard guard;
  const bool drawn = AddBoth(sharp, soft, late_sharp, late_soft, width, height, kept);
  if (drawn) kept.inputs = late;
  return drawn;
}

bool EchoSum::AddBoth(const EchoInputs& sharp, const EchoInputs& soft, const LateSum& late_sharp,
                      const LateSum& late_soft, int width, int height, SumTarget& kept) {
  const int tw = ReducedSize(width), th = ReducedSize(height);
  // Everything is made ready, and what goes aside summed, before the frame is touched.
  if (!CanSum(sharp, width, height, &late_sharp) || !CanSum(soft, tw, th, &late_soft)) return false;
  // The full-size part adds straight into the frame where its colour buffer can be borrowed;
  // else it is summed aside and added after.
  const bool direct = !sharp.layers.empty() && !plain_ && PrepareDirect(kept, width, height);
  if ((!direct || !soft.layers.empty()) && !AddReady()) return false;
  if (!soft.layers.empty() && !DualSum(targets_.soft_early(), targets_.soft_kept(), soft, late_soft, tw, th))
    return false;
  if (!direct && !DualSum(targets_.early_sum(), kept, sharp, late_sharp, width, height)) return false;
  glBlendFunc(GL_ONE, GL_ONE);
  if (direct && !SumDirect(kept, sharp, width, height, &late_sharp)) return false;
  if (!soft.layers.empty()) {
    // The repeat's reduced part goes into its kept image.
    DrawInto into(kept.framebuffer, width, height);
    glBlendFunc(GL_ONE, GL_ONE);
    if (!AddTarget(targets_.soft_kept(), width, height, &kept.tiles)) return false;
  }
  kept.filled = true;
  glBlendFunc(GL_ONE, GL_ONE);
  if (!sharp.layers.empty() && !direct && !AddTarget(targets_.early_sum(), width, height)) return false;
  return soft.layers.empty() || AddTarget(targets_.soft_early(), width, height);
}

bool EchoSum::AddConstant(int r, int g, int b, int a) {
  if (!ConstantReady()) return false;
  EchoStateGuard guard;
  glUseProgram(programs_.Flat());
  auto level = [](int v) { return static_cast<float>(std::clamp(v, 0, 255)) / 255.0f; };
  glUniform4f(programs_.flat_value(), level(r), level(g), level(b), level(a));
  UnitQuad();
  ++passes_drawn_;
  return true;
}

bool EchoSum::HasKept(int slot, const EchoInputs& inputs) {
  if (!available_ || slot < 0) return false;
  const SumTarget& t = targets_.kept(slot);
  return t.filled && t.inputs == inputs && AddReady();
}

bool EchoSum::AddKept(int slot, const EchoInputs& inputs, int width, int height) {
  if (!HasKept(slot, inputs)) return false;
  EchoStateGuard guard;
  return AddTarget(targets_.kept(slot), width, height);
}

}  // namespace vl::render
