#include "platform/sound/SourceMixer.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <set>

#include "platform/sound/PulseSound.h"
#include "platform/sound/SoundTypes.h"

namespace morvika::sound {

namespace {

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

// What one query gathers; the callbacks run on the main loop's thread.
struct Query {
    pa_threaded_mainloop* loop = nullptr;
    bool ok = true;
    std::string defaultSource;
    std::vector<SourceInfo> sources;
    bool found = false;
    std::uint32_t index = PA_INVALID_INDEX;
    pa_cvolume volume{};
    std::set<std::uint32_t> modules;    // owners of the source's recording streams
    std::vector<std::uint32_t> inputs;  // sink inputs those owners play
};

// Main loop lock held: waits until the operation ends; false when it could not start.
bool Run(pa_threaded_mainloop* loop, pa_operation* op)
{
    if (op == nullptr) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    pa_operation_unref(op);
    return true;
}

void OnServerInfo(pa_context*, const pa_server_info* info, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (info != nullptr && info->default_source_name != nullptr) q->defaultSource = info->default_source_name;
    pa_threaded_mainloop_signal(q->loop, 0);
}

void OnSourceList(pa_context*, const pa_source_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->ok = false;
    if (eol == 0 && info != nullptr) {
        q->sources.push_back({info->name ? info->name : "", info->description ? info->description : ""});
    }
    pa_threaded_mainloop_signal(q->loop, 0);
}

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol == 0 && info != nullptr) {
        q->found = true;
        q->index = info->index;
        q->volume = info->volume;
    }
    pa_threaded_mainloop_signal(q->loop, 0);
}

void OnSourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->ok = false;
    if (eol == 0 && info != nullptr && info->source == q->index && info->owner_module != PA_INVALID_INDEX) {
        q->modules.insert(info->owner_module);
    }
    pa_threaded_mainloop_signal(q->loop, 0);
}

void OnSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->ok = false;
    if (eol == 0 && info != nullptr && q->modules.count(info->owner_module) != 0) q->inputs.push_back(info->index);
    pa_threaded_mainloop_signal(q->loop, 0);
}

void OnSuccess(pa_context*, int success, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (success == 0) q->ok = false;
    pa_threaded_mainloop_signal(q->loop, 0);
}

// Main loop lock held: the source's index and volume.
bool FindSource(pa_context* context, Query& q, const std::string& source)
{
    return Run(q.loop, pa_context_get_source_info_by_name(context, source.c_str(), &OnSourceInfo, &q)) && q.found;
}

}  // namespace

int PulseSourceMixer::ListSources(std::vector<SourceInfo>* out)
{
    if (out == nullptr) return kSoundErrInvalidArg;
    if (const int rc = m_backend.Connect(); rc != kSoundOk) return rc;
    Query q;
    q.loop = m_backend.MainLoop();
    {
        LoopLock lock(q.loop);
        if (!Run(q.loop, pa_context_get_server_info(m_backend.Context(), &OnServerInfo, &q)) ||
            !Run(q.loop, pa_context_get_source_info_list(m_backend.Context(), &OnSourceList, &q)) || !q.ok) {
            return kSoundErrGeneric;
        }
    }
    const auto isDefault = [&](const SourceInfo& s) { return s.name == q.defaultSource; };
    std::stable_partition(q.sources.begin(), q.sources.end(), isDefault);
    *out = std::move(q.sources);
    return kSoundOk;
}

int PulseSourceMixer::GetSourceVolume(const std::string& source, std::uint32_t* value, std::uint32_t* min,
                                      std::uint32_t* max)
{
    if (value == nullptr || min == nullptr || max == nullptr) return kSoundErrInvalidArg;
    if (const int rc = m_backend.Connect(); rc != kSoundOk) return rc;
    Query q;
    q.loop = m_backend.MainLoop();
    LoopLock lock(q.loop);
    if (!FindSource(m_backend.Context(), q, source)) return kSoundErrNoDriver;
    *value = pa_cvolume_max(&q.volume);
    // The server's 100 % is the top of the scale; software boost above it is left alone.
    *min = PA_VOLUME_MUTED;
    *max = PA_VOLUME_NORM;
    return kSoundOk;
}

int PulseSourceMixer::SetSourceVolume(const std::string& source, std::uint32_t value)
{
    if (const int rc = m_backend.Connect(); rc != kSoundOk) return rc;
    Query q;
    q.loop = m_backend.MainLoop();
    LoopLock lock(q.loop);
    if (!FindSource(m_backend.Context(), q, source)) return kSoundErrNoDriver;
    pa_cvolume volume = q.volume;
    pa_cvolume_set(&volume, volume.channels, std::min<pa_volume_t>(value, PA_VOLUME_MAX));
    if (!Run(q.loop, pa_context_set_source_volume_by_index(m_backend.Context(), q.index, &volume, &OnSuccess, &q)) ||
        !q.ok) {
        return kSoundErrGeneric;
    }
    return kSoundOk;
}

int PulseSourceMixer::MuteLoopbacks(const std::string& source, bool mute, int* count)
{
    if (count != nullptr) *count = 0;
    if (const int rc = m_backend.Connect(); rc != kSoundOk) return rc;
    Query q;
    q.loop = m_backend.MainLoop();
    LoopLock lock(q.loop);
    pa_context* context = m_backend.Context();
    if (!FindSource(context, q, source)) return kSoundErrNoDriver;
    // A loopback is a module that records the source and plays into a sink.
    if (!Run(q.loop, pa_context_get_source_output_info_list(context, &OnSourceOutput, &q)) || !q.ok) {
        return kSoundErrGeneric;
    }
    if (q.modules.empty()) return kSoundOk;
    if (!Run(q.loop, pa_context_get_sink_input_info_list(context, &OnSinkInput, &q)) || !q.ok) return kSoundErrGeneric;
    for (const std::uint32_t input : q.inputs) {
        if (!Run(q.loop, pa_context_set_sink_input_mute(context, input, mute ? 1 : 0, &OnSuccess, &q)) || !q.ok) {
            return kSoundErrGeneric;
        }
    }
    if (count != nullptr) *count = static_cast<int>(q.inputs.size());
    return kSoundOk;
}

}  // namespace morvika::sound
