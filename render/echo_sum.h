// The echo overlay computed as a sum: a stack of n additive, fading, zooming layers of one glow
// capture gives per pixel a saturating sum of n rounded 8-bit values, so it can be drawn as one
// fragment-program pass per 16 layers instead of n full-screen quads, with the
// fixed-function arithmetic of the quads reproduced. Layers that add nothing are left out, a
// capture known to hold one grey level is summed without sampling, each tile of the output samples
// only the layers that reach more than the capture's background there (the capture is read back
// for that), and a sum can be kept and added again. The fast variant sums the smooth layers at
// reduced resolution and spreads that sum bilinearly. Draws into the current framebuffer; needs
// GLSL 1.30 and framebuffer objects for the programs and the kept sums (without them the caller
// draws the quads). The plan of each sum is echo_plan's, the programs echo_programs', the images
// echo_targets', the lit-corner probes echo_probes'; this class runs them.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "render/echo_plan.h"
#include "render/echo_probes.h"
#include "render/echo_programs.h"
#include "render/echo_targets.h"
#include "render/echo_tiles.h"

namespace vl::render {

// Every public drawing call either adds the whole echo or draws nothing into the frame and
// returns false (the caller then draws the quads): the programs and targets an echo needs are
// made before the first pass. A program that fails to build is remembered, not tried again.
// Each call works under an EchoStateGuard, which says what it leaves.
class EchoSum {
 public:
  // Context current: compiles nothing yet; false when the context lacks what the sums need.
  bool Init(bool fragment_programs, bool framebuffer_objects);
  bool available() const { return available_; }

  // Adds the echo to the current framebuffer over the current viewport (width x height), blended
  // ONE/ONE. `keep_slot` >= 0 keeps the sum so that AddKept(keep_slot, ...) can add it again.
  // `fast` sums at reduced resolution. False when a program or target cannot be made.
  bool Add(const EchoInputs& inputs, int width, int height, bool fast, int keep_slot);
  // A lit echo of a capture of one grey level (inputs.grey): true when the lit colour stays
  // within a range over which every pixel adds the same levels, given in `sum` (per channel,
  // at most 255). Finds the range from the lit corners of the layers' quad (feedback mode).
  bool LitGreyLevels(const EchoInputs& inputs, std::array<int, 3>* sum);
  // Adds the same 8-bit value to every pixel (r, g, b, a in levels), blended ONE/ONE.
  bool AddConstant(int r, int g, int b, int a);
  // True when AddConstant can draw (builds its program).
  bool ConstantReady();
  // A lit echo whose unlit repeat comes later in the frame from the same capture and insets:
  // adds `early` (as Add does) and keeps the repeat's sum in `slot` for AddKept, sampling the
  // capture once for both. `late_alpha8` gives the repeat's alpha for each layer of `early`
  // (0 where it has none); `late` is what the repeat will pass to AddKept.
  // `fast` splits the layers as Add does.
  bool AddWithLate(const EchoInputs& early, const std::vector<int>& late_alpha8, const EchoInputs& late, int width,
                   int height, int slot, bool fast);
  // Adds a sum kept by Add in this slot if it was made from the same inputs; false otherwise.
  bool AddKept(int slot, const EchoInputs& inputs, int width, int height);
  // Whether AddKept(slot, inputs, ...) would add, without drawing.
  bool HasKept(int slot, const EchoInputs& inputs);

  // Plain sums, for comparisons: each summed aside and added after (as into a window's own
  // framebuffer) rather than straight into the frame's colour buffer while keeping a copy, and
  // every tile of a lit echo through the summing program.
  void set_plain(bool plain) { plain_ = plain; }

  int passes_drawn() const { return passes_drawn_; }
  // Summing programs built so far (each kept for the context's life).
  int programs_built() const { return programs_.sums_built(); }
  // The real builder; tests wrap it to count builds or make one fail.
  static uint32_t LinkProgram(const std::string& fragment, bool vertex_stage);
  void set_program_builder(ProgramBuilder builder) { programs_.set_builder(std::move(builder)); }

  // Deletes the images and framebuffers the sums keep (the context current); kept sums are
  // forgotten, and everything is made again when next needed. Programs stay.
  void Release() { targets_.Release(); }
  const EchoTargets& targets() const { return targets_; }

 private:
  struct Content {
    int64_t serial = -1;
    bool usable = false;
    CaptureContent map;
  };
  // What one summing of `inputs` over width x height draws: the tiles and how they are grouped
  // into passes, and the constants the passes add where only the background is read.
  struct PassPlan {
    const EchoInputs* inputs = nullptr;
    const LateSum* late = nullptr;
    int width = 0, height = 0;
    int background = -1;
    bool table = false;  // lit over a background: the per-group table of background levels
    int alpha_total = 0;
    std::vector<EchoTile> tiles;
    std::vector<char> is_flat;
    std::map<std::array<int, 3>, std::vector<size_t>> flat_tiles;
    std::vector<PassGroup> groups;  // a group's index is its row of the background table
    std::array<int, 3> late_all{};  // what every layer of the late sum adds over the background
  };

  // echo_passes.cpp: planning and drawing one summing of a set of layers.
  const CaptureContent* ContentOf(const EchoInputs& inputs);
  PassPlan PlanPasses(const EchoInputs& inputs, int width, int height, const LateSum* late);
  // Builds every program the plan's passes use; false when one cannot be built.
  bool ProgramsReady(const PassPlan& plan);
  // Calls pass(group, row, start, count, program size, with table, pass index) for every pass.
  template <typename Pass>
  void ForEachPass(const PassPlan& plan, Pass pass);
  // Whether every program summing `inputs` over width x height needs can be built.
  bool CanSum(const EchoInputs& inputs, int width, int height, const LateSum* late = nullptr);
  // The background levels the plan's groups leave out, per 8-bit product, as a table of rows.
  void UploadBackgroundTable(const PassPlan& plan);
  // The lit layers' colour over the tiles that read it, bound to unit 1; false when it cannot be
  // drawn.
  bool BindLitColour(const PassPlan& plan);
  // The lit quad's colour per pixel, drawn inside box (x0, y0, x1, y1) only; its texture, or 0.
  uint32_t DrawLitColour(const EchoInputs& inputs, const int box[4]);
  // The uniforms of one pass of `plan`: group g's layers start..start + count - 1 in a program of
  // `size` layers; `pass` counts the group's passes from 0.
  void PassUniforms(const SumProgram& program, const PassPlan& plan, const PassGroup& g, int row, int start, int count,
                    int size, bool use_table, int pass);
  // Draws the plan's passes into the current framebuffer, marking the tiles drawn in `drawn`.
  bool SumPasses(const EchoInputs& inputs, int width, int height, TileMap* drawn, const LateSum* late = nullptr);
  // The program that adds a kept or reduced sum; false when it cannot be built.
  bool AddReady();
  // Adds a sum held in `target` over width x height where it was drawn (spread when smaller),
  // marking the output tiles it covers in `covered`.
  bool AddTarget(const SumTarget& target, int width, int height, TileMap* covered = nullptr);

  // echo_sum.cpp: the ways an echo is added, each made ready before the frame is touched.
  bool ReducedPays(const EchoInputs& all, const EchoInputs& sharp, const EchoInputs& soft, int width, int height,
                   int reduced_adds, int full_adds);
  // Sums into `target` (target_width x target_height), filling it for AddTarget.
  bool SumAside(SumTarget& target, const EchoInputs& inputs, int target_width, int target_height);
  // Add's two ways: in part at reduced size (fast) or all at full size; kept for a repeat when
  // `kept` is given.
  bool AddReduced(const EchoInputs& inputs, const EchoInputs& sharp, const EchoInputs& soft, int width, int height,
                  SumTarget* kept);
  bool AddFull(const EchoInputs& inputs, int width, int height, SumTarget* kept);
  // AddWithLate's drawing, the layers split into a full-size and a reduced part.
  bool AddBoth(const EchoInputs& sharp, const EchoInputs& soft, const LateSum& late_sharp, const LateSum& late_soft,
               int width, int height, SumTarget& kept);
  // Whether the frame's colour buffer can be borrowed to sum into it and `kept` at once
  // (SumDirect); makes `kept` ready.
  bool PrepareDirect(SumTarget& kept, int width, int height);
  // After PrepareDirect: adds the sum of `inputs` straight into the frame and keeps it in `kept`
  // (the repeat `late` instead when given) in the same passes.
  bool SumDirect(SumTarget& kept, const EchoInputs& inputs, int width, int height, const LateSum* late = nullptr);
  // Sums `inputs` into `first` and the unlit repeat `late` into `second` in the same passes.
  bool DualSum(SumTarget& first, SumTarget& second, const EchoInputs& inputs, const LateSum& late, int width,
               int height);

  bool available_ = false;
  EchoPrograms programs_;
  EchoTargets targets_;
  LitProbes probes_;
  std::map<uint32_t, Content> contents_;  // by capture texture
  std::vector<uint8_t> readback_;
  std::vector<float> background_rows_;
  int passes_drawn_ = 0;
  bool plain_ = false;
};

}  // namespace vl::render
