#include "platform/sound/SourceMixer.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
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

struct LoopbackInput {
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint32_t module = PA_INVALID_INDEX;
    bool muted = false;
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
    std::set<std::uint32_t> loopbackModules;  // every loaded module-loopback
    std::set<std::uint32_t> modules;          // the loopbacks that record the source
    std::vector<LoopbackInput> inputs;        // the sink inputs those loopbacks play
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

void OnModule(pa_context*, const pa_module_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->ok = false;
    if (eol == 0 && info != nullptr && info->name != nullptr && std::strcmp(info->name, "module-loopback") == 0) {
        q->loopbackModules.insert(info->index);
    }
    pa_threaded_mainloop_signal(q->loop, 0);
}

// Every client's stream is owned by the native protocol module, Morvika's own capture
// included: only a module-loopback's recording of the source routes it into a sink.
void OnSourceOutput(pa_context*, const pa_source_output_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->ok = false;
    if (eol == 0 && info != nullptr && info->source == q->index && q->loopbackModules.count(info->owner_module) != 0) {
        q->modules.insert(info->owner_module);
    }
    pa_threaded_mainloop_signal(q->loop, 0);
}

void OnSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->ok = false;
    if (eol == 0 && info != nullptr && q->modules.count(info->owner_module) != 0) {
        q->inputs.push_back({info->index, info->owner_module, info->mute != 0});
    }
    pa_threaded_mainloop_signal(q->loop, 0);
}

// Collects every sink input owned by a loaded module-loopback (modules left empty: any source).
void OnAnyLoopbackInput(pa_context*, const pa_sink_input_info* info, int eol, void* user)
{
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->ok = false;
    if (eol == 0 && info != nullptr && q->loopbackModules.count(info->owner_module) != 0) {
        q->inputs.push_back({info->index, info->owner_module, info->mute != 0});
    }
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

PulseSourceMixer::~PulseSourceMixer()
{
    RestoreLoopbacks();
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
    if (!Run(q.loop, pa_context_get_module_info_list(context, &OnModule, &q)) || !q.ok) return kSoundErrGeneric;
    if (q.loopbackModules.empty()) return kSoundOk;
    if (!Run(q.loop, pa_context_get_source_output_info_list(context, &OnSourceOutput, &q)) || !q.ok) {
        return kSoundErrGeneric;
    }
    if (q.modules.empty()) return kSoundOk;
    if (!Run(q.loop, pa_context_get_sink_input_info_list(context, &OnSinkInput, &q)) || !q.ok) return kSoundErrGeneric;
    std::lock_guard<std::mutex> saved(m_savedLock);
    for (const LoopbackInput& input : q.inputs) {
        // The state the user had before the first change is what exit gives back.
        const auto key = std::make_pair(input.index, input.module);
        bool target = mute;
        if (mute) {
            m_saved.try_emplace(key, input.muted);
        } else if (const auto it = m_saved.find(key); it != m_saved.end()) {
            target = it->second;
            m_saved.erase(it);
        }
        if (target == input.muted) continue;
        if (!Run(q.loop, pa_context_set_sink_input_mute(context, input.index, target ? 1 : 0, &OnSuccess, &q)) ||
            !q.ok) {
            return kSoundErrGeneric;
        }
    }
    if (count != nullptr) *count = static_cast<int>(q.inputs.size());
    return kSoundOk;
}

int PulseSourceMixer::RestoreLoopbacks()
{
    std::map<std::pair<std::uint32_t, std::uint32_t>, bool> saved;
    {
        std::lock_guard<std::mutex> lock(m_savedLock);
        saved.swap(m_saved);
    }
    if (saved.empty()) return kSoundOk;
    if (const int rc = m_backend.Connect(); rc != kSoundOk) return rc;
    Query q;
    q.loop = m_backend.MainLoop();
    LoopLock lock(q.loop);
    pa_context* context = m_backend.Context();
    if (!Run(q.loop, pa_context_get_module_info_list(context, &OnModule, &q)) || !q.ok) return kSoundErrGeneric;
    if (!Run(q.loop, pa_context_get_sink_input_info_list(context, &OnAnyLoopbackInput, &q)) || !q.ok) {
        return kSoundErrGeneric;
    }
    int rc = kSoundOk;
    for (const LoopbackInput& input : q.inputs) {
        // A stream that went meanwhile, or an index since reused by another module, is left alone.
        const auto it = saved.find(std::make_pair(input.index, input.module));
        if (it == saved.end() || it->second == input.muted) continue;
        if (!Run(q.loop, pa_context_set_sink_input_mute(context, input.index, it->second ? 1 : 0, &OnSuccess, &q)) ||
            !q.ok) {
            rc = kSoundErrGeneric;
        }
    }
    return rc;
}

}  // namespace morvika::sound
