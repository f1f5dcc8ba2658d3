// Load time of the largest sample model (48,000 faces) and the cost of its vertex normals, by
// accumulating over the faces once and by scanning every face for every vertex.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "assets/model_3ds.h"
#include "engine/asset_paths.h"

namespace {

const std::string kLargest =
    std::string(VL_BIN_DIR) + "/../test-data/glmark2-data/usr/share/glmark2/models/asteroid-high.3ds";

const std::vector<uint8_t>* LargestBytes(benchmark::State& state) {
  static const auto bytes = vl::ReadFileBytes(kLargest);
  if (!bytes) {
    state.SkipWithError((bytes.error().ToString() + " (run scripts/fetch-test-data)").c_str());
    return nullptr;
  }
  return &bytes.value();
}

void BM_LoadLargestModel(benchmark::State& state) {
  const std::vector<uint8_t>* bytes = LargestBytes(state);
  if (!bytes) return;
  for (auto _ : state) {
    vl::Model model;
    auto r = vl::Import3dsBytes(*bytes, kLargest, model);
    benchmark::DoNotOptimize(model.objects.data());
    if (!r) state.SkipWithError(r.error().ToString().c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes->size()));
}
BENCHMARK(BM_LoadLargestModel)->Unit(benchmark::kMillisecond);

template <void (*Compute)(vl::ModelObject&)>
void BM_Normals(benchmark::State& state) {
  const std::vector<uint8_t>* bytes = LargestBytes(state);
  if (!bytes) return;
  vl::Model model;
  if (!vl::Import3dsBytes(*bytes, kLargest, model)) return state.SkipWithError("load failed");
  vl::ModelObject& object = model.objects[0];
  for (auto _ : state) {
    Compute(object);
    benchmark::DoNotOptimize(object.normals.data());
  }
  state.counters["faces"] = object.face_count;
  state.counters["vertices"] = object.vertex_count;
}
BENCHMARK(BM_Normals<vl::ComputeVertexNormals>)->Name("BM_NormalsLinear")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Normals<vl::ComputeVertexNormalsQuadratic>)
    ->Name("BM_NormalsQuadratic")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
