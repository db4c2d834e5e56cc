#include "app/TracedObject.h"

#include "app/Log.h"

std::int32_t TraceSwitch()
{
    return 0;
}

TracedObject::TracedObject(const char* name, std::int32_t version, std::int32_t traceFlag)
    : m_strName(name != nullptr ? name : ""),
      m_nVersion(version),
      m_nTrace(traceFlag)
{
    if (m_nTrace != 0) {
        MORVIKA_LOG("TRACE %s::%s() Ver%d \n", m_strName.c_str(), m_strName.c_str(), m_nVersion);
    }
}

// A copy is a new object: it traces its own construction under the same name.
TracedObject::TracedObject(const TracedObject& other)
    : TracedObject(other.m_strName.c_str(), other.m_nVersion, other.m_nTrace)
{
}

// Assignment never changes identity: name, version and flag stay those of the target.
TracedObject& TracedObject::operator=(const TracedObject&)
{
    return *this;
}

TracedObject::~TracedObject()
{
    if (m_nTrace != 0) {
        MORVIKA_LOG("TRACE %s::~%s() \n", m_strName.c_str(), m_strName.c_str());
    }
}
