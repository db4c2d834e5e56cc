// A camera that tests can plug and unplug: a device provider listing one "Video/Source"
// device, "Morvika Test Camera", whose element is a live test picture. The file named by
// MORVIKA_TEST_CAMERA decides: absent = no camera; "raw" = 640 x 480 raw video at 30 frames
// per second (as a camera's YUY2 mode); "jpeg" = the same as MJPEG only; "png" = PNG pictures
// only (a compressed format that only decodebin finds a decoder for). The provider reads
// the file when started and then every 50 ms, and adds or removes the device as a real
// provider does when a camera comes or goes.
#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* kDeviceName = "Morvika Test Camera";

// What the control file says now: "" (absent), "raw" or "jpeg".
std::string ReadMode()
{
    const char* path = std::getenv("MORVIKA_TEST_CAMERA");
    if (path == nullptr || *path == '\0') return {};
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) return {};
    char text[16] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::string mode(text, n);
    while (!mode.empty() && (mode.back() == '\n' || mode.back() == ' ')) mode.pop_back();
    return mode == "jpeg" || mode == "png" ? mode : "raw";
}

}  // namespace

G_BEGIN_DECLS

#define MORVIKA_TYPE_TEST_CAMERA_DEVICE (morvika_test_camera_device_get_type())
G_DECLARE_FINAL_TYPE(MorvikaTestCameraDevice, morvika_test_camera_device, MORVIKA, TEST_CAMERA_DEVICE, GstDevice)

#define MORVIKA_TYPE_TEST_CAMERA_PROVIDER (morvika_test_camera_provider_get_type())
G_DECLARE_FINAL_TYPE(MorvikaTestCameraProvider, morvika_test_camera_provider, MORVIKA, TEST_CAMERA_PROVIDER,
                     GstDeviceProvider)

G_END_DECLS

struct _MorvikaTestCameraDevice {
    GstDevice parent;
    int kind;  // 0 raw, 1 MJPEG, 2 PNG
};

struct _MorvikaTestCameraProvider {
    GstDeviceProvider parent;
    guint watch;
    GMainContext* context;
    GMainLoop* loop;
    GThread* thread;
    GstDevice* device;  // the listed device, or null
    int kind;
};

G_DEFINE_TYPE(MorvikaTestCameraDevice, morvika_test_camera_device, GST_TYPE_DEVICE)
G_DEFINE_TYPE(MorvikaTestCameraProvider, morvika_test_camera_provider, GST_TYPE_DEVICE_PROVIDER)

static GstElement* test_camera_create_element(GstDevice* device, const gchar* name)
{
    // A camera's own frame rate and size, far from what the pipeline asks for.
    const char* descriptions[] = {
        "videotestsrc is-live=true pattern=ball ! "
        "capsfilter caps=\"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1\"",
        "videotestsrc is-live=true pattern=ball ! "
        "capsfilter caps=\"video/x-raw,format=I420,width=640,height=480,framerate=30/1\" ! jpegenc",
        "videotestsrc is-live=true pattern=ball ! "
        "capsfilter caps=\"video/x-raw,format=RGB,width=640,height=480,framerate=30/1\" ! pngenc compression-level=1",
    };
    const char* description = descriptions[MORVIKA_TEST_CAMERA_DEVICE(device)->kind];
    GError* error = nullptr;
    GstElement* bin = gst_parse_bin_from_description(description, TRUE, &error);
    if (bin == nullptr) {
        GST_ERROR("test camera: %s", error != nullptr ? error->message : "?");
        g_clear_error(&error);
        return nullptr;
    }
    if (name != nullptr) gst_object_set_name(GST_OBJECT(bin), name);
    return bin;
}

static void morvika_test_camera_device_class_init(MorvikaTestCameraDeviceClass* klass)
{
    GST_DEVICE_CLASS(klass)->create_element = test_camera_create_element;
}

static void morvika_test_camera_device_init(MorvikaTestCameraDevice*) {}

static int KindOf(const std::string& mode)
{
    return mode == "jpeg" ? 1 : mode == "png" ? 2 : 0;
}

static GstDevice* NewDevice(int kind)
{
    const char* offers[] = {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1",
                            "image/jpeg,width=640,height=480,framerate=30/1",
                            "image/png,width=640,height=480,framerate=30/1"};
    GstCaps* caps = gst_caps_from_string(offers[kind]);
    auto* device =
        static_cast<MorvikaTestCameraDevice*>(g_object_new(MORVIKA_TYPE_TEST_CAMERA_DEVICE, "display-name", kDeviceName,
                                                           "device-class", "Video/Source", "caps", caps, nullptr));
    gst_caps_unref(caps);
    device->kind = kind;
    return GST_DEVICE(device);
}

// Brings the listing in line with the file.
static void Sync(MorvikaTestCameraProvider* self)
{
    const std::string mode = ReadMode();
    const bool present = !mode.empty();
    const int kind = KindOf(mode);
    if (self->device != nullptr && (!present || kind != self->kind)) {
        GstDevice* gone = self->device;
        self->device = nullptr;
        gst_device_provider_device_remove(GST_DEVICE_PROVIDER(self), gone);
        gst_object_unref(gone);
    }
    if (present && self->device == nullptr) {
        self->device = GST_DEVICE(gst_object_ref(NewDevice(kind)));
        self->kind = kind;
        gst_device_provider_device_add(GST_DEVICE_PROVIDER(self), self->device);
    }
}

static gboolean OnWatch(gpointer data)
{
    Sync(static_cast<MorvikaTestCameraProvider*>(data));
    return G_SOURCE_CONTINUE;
}

static gpointer RunLoop(gpointer data)
{
    auto* self = static_cast<MorvikaTestCameraProvider*>(data);
    g_main_context_push_thread_default(self->context);
    g_main_loop_run(self->loop);
    g_main_context_pop_thread_default(self->context);
    return nullptr;
}

static GList* test_camera_probe(GstDeviceProvider*)
{
    const std::string mode = ReadMode();
    if (mode.empty()) return nullptr;
    return g_list_append(nullptr, gst_object_ref_sink(NewDevice(KindOf(mode))));
}

// Lists what is there at once, as the system's providers do, then watches.
static gboolean test_camera_start(GstDeviceProvider* provider)
{
    auto* self = MORVIKA_TEST_CAMERA_PROVIDER(provider);
    Sync(self);
    self->context = g_main_context_new();
    self->loop = g_main_loop_new(self->context, FALSE);
    GSource* source = g_timeout_source_new(50);
    g_source_set_callback(source, OnWatch, self, nullptr);
    self->watch = g_source_attach(source, self->context);
    g_source_unref(source);
    self->thread = g_thread_new("test-camera", RunLoop, self);
    return TRUE;
}

static void test_camera_stop(GstDeviceProvider* provider)
{
    auto* self = MORVIKA_TEST_CAMERA_PROVIDER(provider);
    if (self->thread != nullptr) {
        g_main_loop_quit(self->loop);
        g_thread_join(self->thread);
        self->thread = nullptr;
        GSource* source = g_main_context_find_source_by_id(self->context, self->watch);
        if (source != nullptr) g_source_destroy(source);
        g_main_loop_unref(self->loop);
        g_main_context_unref(self->context);
        self->loop = nullptr;
        self->context = nullptr;
    }
    if (self->device != nullptr) {
        gst_device_provider_device_remove(provider, self->device);
        gst_object_unref(self->device);
        self->device = nullptr;
    }
}

static void morvika_test_camera_provider_class_init(MorvikaTestCameraProviderClass* klass)
{
    GstDeviceProviderClass* provider = GST_DEVICE_PROVIDER_CLASS(klass);
    provider->probe = test_camera_probe;
    provider->start = test_camera_start;
    provider->stop = test_camera_stop;
    gst_device_provider_class_set_static_metadata(provider, "Morvika test camera", "Source/Video",
                                                  "A camera that tests plug and unplug", "Morvika");
}

static void morvika_test_camera_provider_init(MorvikaTestCameraProvider*) {}

static gboolean plugin_init(GstPlugin* plugin)
{
    return gst_device_provider_register(plugin, "morvikatestcamera", GST_RANK_PRIMARY,
                                        MORVIKA_TYPE_TEST_CAMERA_PROVIDER);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, morvikatestcamera, "A camera for Morvika's tests", plugin_init,
                  "1.0", "Proprietary", "Morvika", "Morvika")
