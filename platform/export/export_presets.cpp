#include "platform/export/export_presets.h"

namespace vl::exporting {

using video::VideoFormat;

// The captions' spacing is as the list has always shown it, trailing spaces too; rows 6 to 13
// are MPEG-2 files whatever their caption says. DV, VCD and SVCD frames are shown at 4:3 (a PAL DV
// frame of 720 x 576 as 768 x 576), as their players and editors show them.
const std::array<ExportPreset, kPresetCount> kExportPresets = {{
    {"DV AVI PAL    25 Frames/Second            720x576", 724, 717, 720, 576, 25, false, VideoFormat::kDvAvi, ".avi",
     "DV AVI PAL", 768},
    {"DV AVI NTSC 30 Frames/Second            720x480", 724, 621, 720, 480, 30, true, VideoFormat::kDvAvi, ".avi",
     "DV AVI NTSC", 640},
    {"VCD PAL        25 Frames/Second            352x288               ", 358, 429, 352, 288, 25, false,
     VideoFormat::kVcd, ".mpg", "VCD PAL", 384},
    {"VCD NTSC     30 Frames/Second            352x240", 358, 381, 352, 240, 30, true, VideoFormat::kVcd, ".mpg",
     "VCD NTSC", 320},
    {"SVCD PAL      25 Frames/Second            480x576", 484, 600, 480, 576, 25, false, VideoFormat::kSvcd, ".mpg",
     "SVCD PAL", 768},
    {"SVCD NTSC   30 Frames/Second            480x480 ", 484, 621, 480, 480, 30, true, VideoFormat::kSvcd, ".mpg",
     "SVCD NTSC", 640},
    {"SVCD NTSC   30 Frames/Second            800x600", 804, 741, 800, 600, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"SVCD NTSC   30 Frames/Second            352x152", 356, 291, 352, 152, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"SVCD NTSC   30 Frames/Second            700x200", 704, 341, 700, 200, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"SVCD NTSC   30 Frames/Second            552x400", 556, 541, 552, 400, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"SVCD NTSC   30 Frames/Second            500x72", 504, 211, 500, 72, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"SVCD NTSC   30 Frames/Second            780x48", 784, 187, 780, 48, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"SVCD NTSC   30 Frames/Second            352x100", 356, 241, 352, 100, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"SVCD NTSC   30 Frames/Second            176x28", 180, 186, 176, 28, 30, true, VideoFormat::kMpeg2, ".mpg",
     "MPEG-2"},
    {"3GP                30 Frames/Second            176x144", 180, 304, 176, 144, 30, true, VideoFormat::kH263_3gp,
     ".3gp", "3GP"},
    {"H D Video       30 Frames/Second            1280x720", 1284, 880, 1280, 720, 30, false, VideoFormat::kH264Mp4,
     ".mp4", "H.264 HD"},
    {"H D Video       25 Frames/Second            1920x1080", 1924, 1240, 1920, 1080, 25, false, VideoFormat::kH264Mp4,
     ".mp4", "H.264 HD"},
}};

}  // namespace vl::exporting
