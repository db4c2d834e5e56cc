#pragma once
// The frame dump tests' GStreamer environment (tests/support) and a recorder of the
// element's hand-offs.

#include <gio/gio.h>
#include <gst/gst.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/GstTestEnvironment.h"

// Records every "jpeg-frame" hand-off.
struct HandOffRecorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<unsigned char>> frames;
    std::vector<bool> emptyBlocks;
    gpointer lastWindow = nullptr;

    void Connect(GstElement* element);
    std::size_t Count();

    static void OnJpegFrame(GstElement* element, gpointer window, gpointer data, guint length,
                            GCancellable* cancellable, gpointer self);
};
