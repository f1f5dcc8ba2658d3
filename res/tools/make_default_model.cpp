// Writes the bundled default model, model/Tardis.3ds, and its texture, Textures/TardisImages3.jpg,
// under the folder given: a tall blue police-box-like cabinet with a roof and a lamp. Our own
// content, built at build time so that it is reproducible. Qt is used here only for the JPEG.
#include <QCoreApplication>
#include <QImage>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/assets/model_writer.h"

namespace mw = vl::model_writer;

namespace {

struct Box {
  std::vector<mw::Vertex> vertices;
  std::vector<mw::Face> faces;
  std::vector<mw::Uv> uvs;
};

// An axis-aligned box in file axes (z up) with four vertices per side, so every side keeps a
// flat normal and its own texture coordinates. Sides map to [u0, u1] x [v0, v1] of the texture;
// the top and bottom map to the small dark square at the texture's corner.
Box MakeBox(float x0, float y0, float z0, float x1, float y1, float z1, float u0, float u1, float v0, float v1) {
  Box box;
  auto quad = [&](mw::Vertex a, mw::Vertex b, mw::Vertex c, mw::Vertex d, float qu0, float qu1, float qv0, float qv1) {
    const uint16_t base = static_cast<uint16_t>(box.vertices.size());
    box.vertices.insert(box.vertices.end(), {a, b, c, d});
    box.uvs.insert(box.uvs.end(), {{qu0, qv0}, {qu1, qv0}, {qu1, qv1}, {qu0, qv1}});
    // Counter-clockwise seen from outside.
    box.faces.push_back({base, static_cast<uint16_t>(base + 1), static_cast<uint16_t>(base + 2)});
    box.faces.push_back({base, static_cast<uint16_t>(base + 2), static_cast<uint16_t>(base + 3)});
  };
  // Front (-y), right (+x), back (+y), left (-x): a, b along the bottom, then up.
  quad({x0, y0, z0}, {x1, y0, z0}, {x1, y0, z1}, {x0, y0, z1}, u0, u1, v0, v1);
  quad({x1, y0, z0}, {x1, y1, z0}, {x1, y1, z1}, {x1, y0, z1}, u0, u1, v0, v1);
  quad({x1, y1, z0}, {x0, y1, z0}, {x0, y1, z1}, {x1, y1, z1}, u0, u1, v0, v1);
  quad({x0, y1, z0}, {x0, y0, z0}, {x0, y0, z1}, {x0, y1, z1}, u0, u1, v0, v1);
  quad({x0, y0, z1}, {x1, y0, z1}, {x1, y1, z1}, {x0, y1, z1}, 0.0f, 0.0625f, 0.0f, 0.0625f);  // top
  quad({x0, y1, z0}, {x1, y1, z0}, {x1, y0, z0}, {x0, y0, z0}, 0.0f, 0.0625f, 0.0f, 0.0625f);  // bottom
  return box;
}

mw::Chunk Object(const std::string& name, const Box& box, const std::string& material) {
  return mw::MeshObject(name, box.vertices, box.faces, box.uvs, material);
}

// The cabinet side: blue with darker panel grooves, a black sign band near the top, and two
// white-framed windows. Row 0 of the image is v = 1 (the top of the side).
QImage MakeTexture() {
  const int size = 256;
  QImage image(size, size, QImage::Format_RGB32);
  const QRgb blue = qRgb(16, 48, 120), groove = qRgb(8, 28, 80), sign = qRgb(10, 10, 14);
  const QRgb window = qRgb(230, 236, 240), frame = qRgb(20, 56, 136), sign_text = qRgb(240, 240, 240);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      QRgb c = blue;
      const bool edge = x < 10 || x >= size - 10;
      const bool centre = x >= 124 && x < 132;
      if (y < 26) {
        c = sign;
        // A row of light blocks standing in for the sign's lettering.
        if (y >= 10 && y < 17 && x >= 40 && x < 216 && (x / 8) % 2 == 0) c = sign_text;
      } else if (edge || centre) {
        c = groove;
      } else {
        const int px = x < 128 ? x - 10 : x - 132;  // 0..113 inside each door leaf
        const int py = y - 26;                      // 0..229
        const bool panel_line = (py % 56) < 4;
        const bool in_window = py >= 8 && py < 50 && px >= 10 && px < 104;
        if (in_window) {
          const bool bar = (px - 10) % 31 < 3 || (py - 8) % 21 < 3;
          c = bar ? frame : window;
        } else if (panel_line || px < 4 || px >= 110) {
          c = groove;
        }
      }
      image.setPixel(x, y, c);
    }
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_default_model OUTPUT_FOLDER\n");
    return 2;
  }
  const std::filesystem::path out(argv[1]);
  std::filesystem::create_directories(out / "model");
  std::filesystem::create_directories(out / "Textures");

  // The cabinet is drawn 2.86 units tall standing on z = 0, then scaled and centred on the
  // origin so that at a model's default place (z -40, 45 degree field of view, where the view is
  // 33 units tall) it fills about a third of the picture's height at natural size.
  constexpr float kTall = 2.86f, kWanted = 11.0f, k = kWanted / kTall;
  auto box = [&](float x0, float y0, float z0, float x1, float y1, float z1, float u0, float u1, float v0, float v1) {
    const float c = kTall / 2;
    return MakeBox(x0 * k, y0 * k, (z0 - c) * k, x1 * k, y1 * k, (z1 - c) * k, u0, u1, v0, v1);
  };
  const Box body = box(-0.5f, -0.5f, 0.0f, 0.5f, 0.5f, 2.4f, 0.0f, 1.0f, 0.0f, 1.0f);
  const Box roof = box(-0.58f, -0.58f, 2.4f, 0.58f, 0.58f, 2.58f, 0.0f, 1.0f, 0.9f, 1.0f);
  const Box lamp = box(-0.08f, -0.08f, 2.58f, 0.08f, 0.08f, 2.86f, 0.0f, 0.0625f, 0.0f, 0.0625f);

  const std::vector<uint8_t> bytes = mw::File(3, {
                                                     mw::Material("Cabinet", "TardisImages3.jpg", 32, 64, 160),
                                                     mw::Material("Lamp", "", 250, 250, 235),
                                                     Object("Body", body, "Cabinet"),
                                                     Object("Roof", roof, "Cabinet"),
                                                     Object("Lamp", lamp, "Lamp"),
                                                 });
  std::ofstream model(out / "model" / "Tardis.3ds", std::ios::binary);
  model.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!model) {
    std::fprintf(stderr, "make_default_model: cannot write %s\n", (out / "model" / "Tardis.3ds").c_str());
    return 1;
  }
  const std::string texture = (out / "Textures" / "TardisImages3.jpg").string();
  if (!MakeTexture().save(QString::fromStdString(texture), "JPG", 90)) {
    std::fprintf(stderr, "make_default_model: cannot write %s\n", texture.c_str());
    return 1;
  }
  return 0;
}
