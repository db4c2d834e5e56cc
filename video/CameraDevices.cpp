#include "video/CameraDevices.h"

#include <gst/gst.h>

#include <cstdlib>

#include "video/CameraPipeline.h"

std::string CutCameraName(const std::string& name)
{
    std::size_t characters = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        // A continuation byte belongs to the character before it.
        if ((static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) continue;
        if (++characters > 63) return name.substr(0, i);
    }
    return name;
}

std::vector<CameraRecord> EnumerateCameras()
{
    std::vector<CameraRecord> records;
    std::int32_t index = 0;
    if (CCameraPipeline::InitGstreamer()) {
        GstDeviceMonitor* monitor = gst_device_monitor_new();
        gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
        // Without a started monitor the providers have not probed; a failed start lists nothing.
        if (gst_device_monitor_start(monitor)) {
            GList* devices = gst_device_monitor_get_devices(monitor);
            for (GList* item = devices; item != nullptr; item = item->next, ++index) {
                gchar* name = gst_device_get_display_name(GST_DEVICE(item->data));
                // A device without a readable name is skipped but keeps its index.
                if (name != nullptr && *name != '\0') records.push_back({index, CutCameraName(name)});
                g_free(name);
            }
            g_list_free_full(devices, gst_object_unref);
            gst_device_monitor_stop(monitor);
        }
        gst_object_unref(monitor);
    }
    if (const char* extra = std::getenv("MORVIKA_EXTRA_CAMERAS"); extra != nullptr) {
        std::string names(extra);
        std::size_t start = 0;
        while (start <= names.size()) {
            std::size_t bar = names.find('|', start);
            if (bar == std::string::npos) bar = names.size();
            if (bar > start) records.push_back({index++, CutCameraName(names.substr(start, bar - start))});
            start = bar + 1;
        }
    }
    return records;
}
