#pragma once
// oskeljpegdump: the frame dump sink. See gstoskeljpegdump.cpp.

#include <gst/base/gstbasesink.h>
#include <gst/gst.h>

#include "filter/OskelJpegDumpControl.h"

G_BEGIN_DECLS

#define GST_TYPE_OSKEL_JPEG_DUMP (gst_oskel_jpeg_dump_get_type())
G_DECLARE_FINAL_TYPE(GstOskelJpegDump, gst_oskel_jpeg_dump, GST, OSKEL_JPEG_DUMP, GstBaseSink)

GType oskel_jpeg_dump_control_get_type(void);

GST_ELEMENT_REGISTER_DECLARE(oskeljpegdump);

G_END_DECLS
