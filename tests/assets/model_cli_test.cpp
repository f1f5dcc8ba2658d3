// vantaloop-cli model: the JSON contract, run against the built program.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/assets/model_writer.h"

namespace fs = std::filesystem;
namespace mw = vl::model_writer;

namespace {

struct CliRun {
  int status = -1;
  std::string out;
};

// Runs the tool with stderr dropped; only stdout and the exit status are kept.
CliRun RunModel(const fs::path& file) {
  const std::string cmd = std::string("'") + VL_BIN_DIR + "/vantaloop-cli' model '" + file.string() + "' 2>/dev/null";
  CliRun run;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
  int status = ::pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

fs::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
  fs::path p = fs::temp_directory_path() / ("vl_cli_" + std::to_string(::getpid()) + "_" + name);
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return p;
}

TEST(ModelCli, FailuresPrintNothingOnStdout) {
  CliRun missing = RunModel("/nonexistent/none.3ds");
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(missing.out, "");
  fs::path bad = Write("bad.3ds", mw::File(3, {mw::MeshObject("o", {{0, 0, 0}}, {{0, 0, 1}})}));
  CliRun damaged = RunModel(bad);
  EXPECT_NE(damaged.status, 0);
  EXPECT_EQ(damaged.out, "");
  fs::remove(bad);
}

TEST(ModelCli, PrintsTheLoadedModel) {
  // No version chunk, a Latin-1 name, a loose vertex (0), one unmatched face material.
  mw::Chunk main(0x4D4D);
  main.Add(
      mw::Chunk(0x3D3D)
          .Add(mw::Material("M\xE9tal", "T.JPG", 1, 2, 3))
          .Add(mw::MeshObject("o", {{1, 2, 3}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{1, 2, 3}}, {{0.25f, 1}}, "nope")));
  fs::path file = Write("ok.3ds", main.Bytes());
  CliRun run = RunModel(file);
  fs::remove(file);
  ASSERT_EQ(run.status, 0);
  std::string compact;
  for (char c : run.out)
    if (c != '\n' && c != ' ') compact += c;
  EXPECT_EQ(compact.rfind("{\"version\":null,\"object_count\":1,", 0), 0u) << run.out;
  EXPECT_NE(compact.find("\"name\":\"o\",\"vertex_count\":4,\"face_count\":1,\"uv_count\":1,\"material_index\":-1,"
                         "\"has_texture\":false"),
            std::string::npos)
      << run.out;
  EXPECT_NE(compact.find("\"vertices\":[[1,3,-2],[0,0,-0],[1,0,-0],[0,0,-1]]"), std::string::npos) << run.out;
  EXPECT_NE(compact.find("\"normals\":[[0,1,0],[-0,1,-0],[-0,1,-0],[-0,1,-0]]"), std::string::npos) << run.out;
  EXPECT_NE(compact.find("\"uvs\":[[0.25,1]],\"faces\":[[1,2,3]]"), std::string::npos) << run.out;
  EXPECT_NE(compact.find("\"material_count\":1,\"materials\":[{\"name\":\"M\xC3\xA9tal\",\"texture_file\":\"T.JPG\","
                         "\"colour\":[1,2,3]}],\"warnings\":[]}"),
            std::string::npos)
      << run.out;
}

}  // namespace
