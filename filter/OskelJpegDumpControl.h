#pragma once
// The frame dump element's control interface, as the main program sees it.
//
// The interface type lives in the plug-in, which the program loads through GStreamer's
// registry and never links; so the program finds it by name with
// oskel_jpeg_dump_control_get_iface() and calls through the returned table.

#include <glib-object.h>

G_BEGIN_DECLS

// A 128-bit identifier in the usual four fields.
typedef struct {
    guint32 data1;
    guint16 data2;
    guint16 data3;
    guint8 data4[8];
} OskelGuid;

// The compression settings as they cross the interface: the six values of the settings
// object. Only quality, DCT method and frame rate change the element's behaviour.
typedef struct {
    const gchar* name;
    gint32 version;
    gint32 trace_flag;
    gint32 quality;
    gint32 dct_method;
    gint32 frame_rate;
} OskelJpegDumpControlData;

#define OSKEL_JPEG_DUMP_CONTROL_TYPE_NAME "OskelJpegDumpControl"

typedef struct _OskelJpegDumpControl OskelJpegDumpControl;

typedef struct {
    GTypeInterface parent;

    // The hand-off target; NULL stops the hand-off (frames are still gated and dropped).
    void (*set_window)(OskelJpegDumpControl* self, gpointer window);
    gpointer (*get_window)(OskelJpegDumpControl* self);
    // Replaces the compression settings in one step; may be called while frames flow.
    void (*set_control_data)(OskelJpegDumpControl* self, const OskelJpegDumpControlData* data);
    // The plug-in-wide log file path (at most 260 bytes are kept).
    void (*set_log_file)(OskelJpegDumpControl* self, const gchar* path);
    // Writes "<prefix> {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} " or "<prefix> { NULL } ".
    void (*log_guid)(OskelJpegDumpControl* self, const gchar* log_path, const gchar* prefix, const OskelGuid* guid);
} OskelJpegDumpControlInterface;

// The interface table of `element`, or NULL when the plug-in is not loaded or the element
// does not implement it.
static inline OskelJpegDumpControlInterface* oskel_jpeg_dump_control_get_iface(gpointer element)
{
    const GType type = g_type_from_name(OSKEL_JPEG_DUMP_CONTROL_TYPE_NAME);
    if (type == 0 || element == NULL || !G_IS_OBJECT(element)) {
        return NULL;
    }
    return (OskelJpegDumpControlInterface*)g_type_interface_peek(G_OBJECT_GET_CLASS(element), type);
}

G_END_DECLS
