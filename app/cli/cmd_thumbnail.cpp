// vantaloop-cli thumbnail [--size N] LOOP.lqf OUT.jpg: the loop library's picture of a loop, one
// frame from the middle of the loop drawn headless on virtual time and squeezed to N x N (96 by
// default). A name ending in .png gets a PNG (file managers' thumbnailers ask for one), any other a
// JPEG. Same loop, same bytes.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include "app/cli/command.h"
#include "engine/asset_paths.h"
#include "engine/output_file.h"
#include "engine/sequence_loader.h"
#include "platform/headless/loop_run.h"

namespace {

constexpr const char* kName = "thumbnail";
constexpr int kRenderSize = 576;  // a usual frame height; the glow captures assume frames of 512 or more
constexpr int kThumbSize = 96;
constexpr int kMaxThumbSize = 1024;  // the largest a file manager asks for
constexpr int kWarmUpFrames = 24;

bool EndsInPng(const std::string& name) {
  if (name.size() < 4) return false;
  std::string end = name.substr(name.size() - 4);
  for (char& c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return end == ".png";
}

int Run(const std::vector<std::string>& args, int size) {
  namespace fs = std::filesystem;
  vl::cli::CatchInterrupts();  // a file-size limit fails the write instead of killing the process
  std::error_code ec;
  const fs::path loop = fs::absolute(args[0], ec);
  if (ec) return vl::cli::Fail(kName, args[0] + ": no such file");
  if (const std::string why = vl::WhyNotReadable(loop); !why.empty()) return vl::cli::Fail(kName, args[0] + ": " + why);
  if (vl::Status same = vl::RefuseSameFile(loop, args[1])) return vl::cli::UsageError(kName, same->ToString());

  // Drawn at least as large as asked, so that a large thumbnail is not blown up from a small frame.
  // The run's own generator: the picture depends on nothing else.
  vl::headless::LoopRunSetup setup;
  setup.width = setup.height = std::max(kRenderSize, size);
  std::string error;
  auto run = vl::headless::LoopRun::Create(setup, &error);
  if (!run) return vl::cli::Fail(kName, error);
  if (vl::Status err = run->Load(loop)) return vl::cli::Fail(kName, err->ToString());
  const int end = vl::engine::PlayedFrameCount(run->scene());
  if (!vl::engine::HasFramesToPlay(run->scene()))
    return vl::cli::Fail(kName, args[0] + ": " + vl::engine::kNothingToPlay);

  // The middle frame, after a short run up to it: the trail and the fountains build up over a
  // few frames (the particles start warm after a load), and drawing from frame 0 would cost the
  // build half of every loop at this size.
  const int middle = end / 2;
  const int first = std::max(0, middle - kWarmUpFrames);
  run->Seek(first);
  for (int k = first; k <= middle; ++k) run->DrawNextFrame();
  vl::headless::Image image = run->ReadPixels();
  QImage frame(image.rgba.data(), image.width, image.height, image.width * 4, QImage::Format_RGBA8888);
  QImage thumb =
      frame.convertToFormat(QImage::Format_RGB32).scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  // Encoded in memory and written as a whole: a full disk is an error, never an empty picture.
  QByteArray encoded;
  QBuffer buffer(&encoded);
  buffer.open(QIODevice::WriteOnly);
  const bool png = EndsInPng(args[1]);
  if (!thumb.save(&buffer, png ? "PNG" : "JPG", png ? -1 : 90) || encoded.isEmpty())
    return vl::cli::Fail(kName, args[1] + ": cannot encode the picture");
  const auto* bytes = reinterpret_cast<const uint8_t*>(encoded.constData());
  if (vl::Status failed = vl::WriteFileBytes(args[1], std::span(bytes, static_cast<size_t>(encoded.size()))))
    return vl::cli::Fail(kName, failed->ToString());
  return 0;
}

}  // namespace

VL_CLI_COMMAND(thumbnail, "thumbnail",
               "Draw the loop library's square picture of a loop (JPEG, or PNG for a .png name).", [](CLI::App& app) {
                 auto args = std::make_shared<std::vector<std::string>>(2);
                 auto size = std::make_shared<int>(kThumbSize);
                 app.add_option("LOOP.lqf", (*args)[0], "The loop file")->required();
                 app.add_option("OUT.jpg", (*args)[1],
                                "The picture to write: PNG when the name ends in .png, else JPEG")
                     ->required();
                 app.add_option("--size", *size, "The picture's width and height in pixels")
                     ->default_val(kThumbSize)
                     ->check(CLI::Range(1, kMaxThumbSize));
                 return [args, size] { return Run(*args, *size); };
               });
