#include "GstTestEnvironment.h"

void HandOffRecorder::Connect(GstElement* element)
{
    g_signal_connect(element, "jpeg-frame", G_CALLBACK(&HandOffRecorder::OnJpegFrame), this);
}

std::size_t HandOffRecorder::Count()
{
    std::lock_guard lock(mutex);
    return frames.size();
}

void HandOffRecorder::OnJpegFrame(GstElement*, gpointer window, gpointer data, guint length, GCancellable*,
                                  gpointer self)
{
    auto* recorder = static_cast<HandOffRecorder*>(self);
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::lock_guard lock(recorder->mutex);
    recorder->frames.emplace_back(bytes, bytes + (bytes != nullptr ? length : 0));
    recorder->emptyBlocks.push_back(data == nullptr && length == 0);
    recorder->lastWindow = window;
    recorder->changed.notify_all();
}
