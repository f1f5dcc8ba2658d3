/* WMF to SVG through libwmf's SVG device layer; see wmf_svg.h. */
#include "assets/pictures/wmf_svg.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libwmf/api.h>
#include <libwmf/svg.h>

static int Fail(char* error, size_t error_size, const char* what, int code) {
  if (error && error_size) snprintf(error, error_size, "%s (libwmf error %d)", what, code);
  return 1;
}

int VlWmfToSvg(const unsigned char* bytes, size_t size, char** svg, size_t* svg_size, unsigned* width, unsigned* height,
               char* error, size_t error_size) {
  *svg = NULL;
  *svg_size = 0;
  if (size > 0x7fffffff) return Fail(error, error_size, "file too large", 0);

  wmfAPI_Options options;
  memset(&options, 0, sizeof options);
  options.function = wmf_svg_function;
  const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
  wmfAPI* api = NULL;
  wmf_error_t err = wmf_api_create(&api, flags, &options);
  if (err != wmf_E_None) {
    if (api) wmf_api_destroy(api);
    return Fail(error, error_size, "cannot start the WMF decoder", (int)err);
  }
  /* libwmf only reads from the buffer despite the non-const parameter. */
  err = wmf_mem_open(api, (unsigned char*)bytes, (long)size);
  if (err != wmf_E_None) {
    wmf_api_destroy(api);
    return Fail(error, error_size, "cannot open the metafile", (int)err);
  }
  wmfD_Rect bbox;
  err = wmf_scan(api, 0, &bbox);
  if (err != wmf_E_None) {
    wmf_mem_close(api);
    wmf_api_destroy(api);
    return Fail(error, error_size, "not a readable Windows metafile", (int)err);
  }
  /* The scan gives the box of what is drawn; a placeable file's picture is its header's box,
     blank margins included. Device units here are points, measured from the window origin,
     which placeable files put at the box's top-left corner. */
  if (size >= 22 && bytes[0] == 0xD7 && bytes[1] == 0xCD && bytes[2] == 0xC6 && bytes[3] == 0x9A) {
    const int left = (short)(bytes[6] | bytes[7] << 8), top = (short)(bytes[8] | bytes[9] << 8);
    const int right = (short)(bytes[10] | bytes[11] << 8), bottom = (short)(bytes[12] | bytes[13] << 8);
    const unsigned inch = (unsigned)(bytes[14] | bytes[15] << 8);
    if (inch > 0 && right != left && bottom != top) {
      bbox.TL.x = 0;
      bbox.TL.y = 0;
      bbox.BR.x = (float)(abs(right - left) * 72.0 / inch);
      bbox.BR.y = (float)(abs(bottom - top) * 72.0 / inch);
    }
  }
  unsigned w = 0, h = 0;
  err = wmf_display_size(api, &w, &h, 96.0, 96.0);
  if (err != wmf_E_None || w == 0 || h == 0) {
    wmf_mem_close(api);
    wmf_api_destroy(api);
    return Fail(error, error_size, "metafile has no size", (int)err);
  }

  wmf_svg_t* ddata = WMF_SVG_GetData(api);
  ddata->out = wmf_stream_create(api, NULL); /* NULL: write to memory */
  ddata->Description = (char*)"picture texture";
  ddata->bbox = bbox;
  ddata->width = w;
  ddata->height = h;
  ddata->flags |= WMF_SVG_INLINE_IMAGES;
  err = wmf_play(api, 0, &bbox);

  char* buffer = NULL;
  unsigned long length = 0;
  wmf_stream_destroy(api, ddata->out, &buffer, &length);
  int result = 0;
  if (err != wmf_E_None || buffer == NULL || length == 0) {
    result = Fail(error, error_size, "the metafile's records could not be played", (int)err);
  } else {
    *svg = (char*)malloc(length + 1);
    if (!*svg) {
      result = Fail(error, error_size, "out of memory", 0);
    } else {
      memcpy(*svg, buffer, length);
      (*svg)[length] = 0;
      *svg_size = length;
      *width = w;
      *height = h;
    }
  }
  if (buffer) wmf_free(api, buffer);
  wmf_mem_close(api);
  wmf_api_destroy(api);
  return result;
}
