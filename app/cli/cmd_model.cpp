// vantaloop-cli model FILE.3ds: a 3DS file as the model loader reads it, as JSON.
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/command.h"
#include "app/cli/json.h"
#include "assets/model_3ds.h"

namespace {

using vl::cli::AppendJsonFloat;
using vl::cli::AppendJsonInt;
using vl::cli::AppendJsonLatin1;

void AppendFloatTuples(std::string& out, const std::vector<float>& values, size_t width, size_t count) {
  out += '[';
  for (size_t i = 0; i < count; ++i) {
    if (i) out += ',';
    out += '[';
    for (size_t k = 0; k < width; ++k) {
      if (k) out += ',';
      AppendJsonFloat(out, values[width * i + k]);
    }
    out += ']';
  }
  out += ']';
}

void AppendObject(std::string& out, const vl::ModelObject& o) {
  out += "{\"name\":";
  AppendJsonLatin1(out, o.name);
  out += ",\"vertex_count\":";
  AppendJsonInt(out, o.vertex_count);
  out += ",\"face_count\":";
  AppendJsonInt(out, o.face_count);
  out += ",\"uv_count\":";
  AppendJsonInt(out, o.uv_count);
  out += ",\"material_index\":";
  AppendJsonInt(out, o.material_index);
  out += ",\"has_texture\":";
  out += o.has_texture ? "true" : "false";
  out += ",\n   \"vertices\":";
  AppendFloatTuples(out, o.vertices, 3, static_cast<size_t>(o.vertex_count));
  out += ",\n   \"normals\":";
  AppendFloatTuples(out, o.normals, 3, static_cast<size_t>(o.vertex_count));
  out += ",\n   \"uvs\":";
  AppendFloatTuples(out, o.uvs, 2, static_cast<size_t>(o.uv_count));
  out += ",\n   \"faces\":[";
  for (size_t i = 0; i < o.faces.size(); ++i) {
    if (i) out += ',';
    const vl::ModelFace& f = o.faces[i];
    out += '[' + std::to_string(f.a) + ',' + std::to_string(f.b) + ',' + std::to_string(f.c) + ']';
  }
  out += "]}";
}

int RunModel(const std::string& file) {
  vl::Model model;
  vl::Expected<vl::ModelLoadResult> loaded = vl::Import3ds(file, model);
  if (!loaded) return vl::cli::Fail("model", loaded.error().ToString());

  std::string out = "{\"version\":";
  out += loaded->version ? std::to_string(*loaded->version) : "null";
  out += ",\"object_count\":";
  AppendJsonInt(out, model.object_count);
  out += ",\n \"objects\":[";
  for (int32_t i = 0; i < model.object_count; ++i) {
    out += i ? ",\n  " : "\n  ";
    AppendObject(out, model.objects[static_cast<size_t>(i)]);
  }
  out += "],\n \"material_count\":";
  AppendJsonInt(out, model.material_count);
  out += ",\n \"materials\":[";
  for (size_t i = 0; i < model.materials.size(); ++i) {
    const vl::ModelMaterial& m = model.materials[i];
    out += i ? ",\n  " : "\n  ";
    out += "{\"name\":";
    AppendJsonLatin1(out, m.name);
    out += ",\"texture_file\":";
    AppendJsonLatin1(out, m.texture_file);
    out += ",\"colour\":[" + std::to_string(m.colour[0]) + ',' + std::to_string(m.colour[1]) + ',' +
           std::to_string(m.colour[2]) + "]}";
  }
  out += "],\n \"warnings\":[";
  for (size_t i = 0; i < loaded->warnings.size(); ++i) {
    if (i) out += ',';
    AppendJsonLatin1(out, loaded->warnings[i]);
  }
  out += "]}\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace

VL_CLI_COMMAND(model, "model", "Read a 3DS model file and print it as JSON.", [](CLI::App& app) {
  auto file = std::make_shared<std::string>();
  app.add_option("FILE.3ds", *file, "The model file")->required();
  return [file] { return RunModel(*file); };
});
