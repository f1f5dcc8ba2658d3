/* WMF to SVG through libwmf. libwmf's headers clash with Qt's (they define macros such as
   `S` and `U16`), so they stay in wmf_svg.c and only this plain C interface is shared. */
#ifndef VL_ASSETS_PICTURES_WMF_SVG_H
#define VL_ASSETS_PICTURES_WMF_SVG_H
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Converts a WMF (placeable or plain) held in memory into an SVG document. On success returns 0,
   *svg is a malloc'd, NUL-terminated document for the caller to free(), *width and *height its
   size in pixels at 96 dpi. On failure returns non-zero and writes a reason into error. */
int VlWmfToSvg(const unsigned char* bytes, size_t size, char** svg, size_t* svg_size, unsigned* width, unsigned* height,
               char* error, size_t error_size);

#ifdef __cplusplus
}
#endif
#endif
