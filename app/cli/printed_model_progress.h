// Model loads report their progress as the desktop splash shows it: one line on stderr once the
// load is over, "vantaloop-cli-command: prompt message", escaped, and nothing waits for it.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

#include "assets/model_3ds.h"
#include "engine/load_error.h"

namespace vl::cli {

class PrintedModelProgress : public vl::ModelLoadProgress {
 public:
  explicit PrintedModelProgress(const char* command) : command_(command) {}
  void Show(std::string_view prompt) override { line_ = std::string(prompt); }
  void Message(std::string_view text) override { line_ += " " + std::string(text); }
  void Hide() override {
    if (!line_.empty()) std::fprintf(stderr, "%s: %s\n", command_, vl::EscapeControl(line_).c_str());
    line_.clear();
  }

 private:
  const char* command_;
  std::string line_;
};

}  // namespace vl::cli
