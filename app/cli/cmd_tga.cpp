// vantaloop-cli tga: builds a particle texture from TGA files exactly as the loader does, without
// uploading it, and prints its format, size and a fingerprint of the final pixel buffer.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/command.h"
#include "app/cli/json.h"
#include "assets/sha256.h"
#include "assets/tga.h"

namespace {

int RunTga(const std::vector<std::string>& names, bool detail) {
  // "-" stands for no file; paths are opened as given, relative to the current folder.
  std::optional<std::string> colour, alpha;
  if (names[0] != "-") colour = names[0];
  if (names.size() == 2 && names[1] != "-") alpha = names[1];

  const auto result = vl::assets::LoadTextureImage(colour, alpha, /*build_mipmaps=*/true);
  if (!result.ok()) {
    std::fprintf(stderr, "%s\n", result.error.text.c_str());
    if (detail && result.error.detail) std::fprintf(stderr, "%s\n", result.error.detail->ToString().c_str());
    return 1;
  }
  const auto& image = *result.image;
  std::string out = "{\"format\": \"";
  out += vl::assets::TexelFormatName(image.format);
  out += "\", \"width\": ";
  vl::cli::AppendJsonInt(out, image.width);
  out += ", \"height\": ";
  vl::cli::AppendJsonInt(out, image.height);
  out += ", \"components\": ";
  vl::cli::AppendJsonInt(out, image.components);
  out += ", \"sha256\": \"" + vl::assets::Sha256Hex(image.pixels) + "\"}\n";
  std::fputs(out.c_str(), stdout);
  return 0;
}

}  // namespace

VL_CLI_COMMAND(tga, "tga",
               "Build a texture from a TGA colour file and/or 8-bit alpha file as the particle loader "
               "does; print its format, size and the SHA-256 of its pixels as JSON.",
               [](CLI::App& app) {
                 auto colour = std::make_shared<std::string>();
                 auto alpha = std::make_shared<std::vector<std::string>>();
                 auto detail = std::make_shared<bool>(false);
                 app.add_option("COLOUR", *colour, "The colour TGA file, - for none")->required();
                 app.add_option("ALPHA", *alpha, "The 8-bit alpha TGA file, - for none")->expected(0, 1);
                 app.add_flag("--detail", *detail, "Say why a load failed");
                 return [=] {
                   std::vector<std::string> names{*colour};
                   names.insert(names.end(), alpha->begin(), alpha->end());
                   return RunTga(names, *detail);
                 };
               });
