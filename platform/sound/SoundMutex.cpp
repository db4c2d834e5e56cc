#include "platform/sound/SoundMutex.h"

#include <cstdlib>

namespace morvika::sound {

SoundMutex::SoundMutex()
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // Where the protocol is not offered, a plain mutex still guards correctly.
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    if (pthread_mutex_init(&m_mutex, &attributes) != 0) {
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_NONE);
        if (pthread_mutex_init(&m_mutex, &attributes) != 0) std::abort();
    }
    pthread_mutexattr_destroy(&attributes);
}

SoundMutex::~SoundMutex()
{
    pthread_mutex_destroy(&m_mutex);
}

void SoundMutex::lock()
{
    if (pthread_mutex_lock(&m_mutex) != 0) std::abort();
}

void SoundMutex::unlock()
{
    pthread_mutex_unlock(&m_mutex);
}

bool SoundMutex::try_lock()
{
    return pthread_mutex_trylock(&m_mutex) == 0;
}

}  // namespace morvika::sound
