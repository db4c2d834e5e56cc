// The OskelJpegDump plug-in: registers its one element.
#include <gst/gst.h>

#include "filter/gstoskeljpegdump.h"

static gboolean plugin_init(GstPlugin* plugin)
{
    return GST_ELEMENT_REGISTER(oskeljpegdump, plugin);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, oskeljpegdump,
                  "OskelJpegDump: camera frames to JPEG for Morvika", plugin_init, MORVIKA_PLUGIN_VERSION,
                  "Proprietary", "Morvika", "Morvika")
