#pragma once
// GStreamer for the frame dump tests: a private registry holding the element from the build
// tree and the few stock plug-ins the tests use; temporary log files.

#include <gio/gio.h>
#include <gst/gst.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

// Initialises GStreamer once per process.
void InitGstreamerForTests();

// A fresh log file path in the test's temporary folder.
std::string FreshLogPath(const std::string& name);
// The file's lines with the "<n>ms " clock prefix removed.
std::vector<std::string> LogLines(const std::string& path);

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
