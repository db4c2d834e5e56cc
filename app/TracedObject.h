#pragma once

#include <cstdint>
#include <string>

// Base of the class library's named, versioned objects. With a non-zero trace flag it logs
// its construction and destruction; the process-wide switch is 0, so in practice it is silent.
class TracedObject {
public:
    static constexpr std::int32_t kVersion = 1001;

    TracedObject(const char* name, std::int32_t version, std::int32_t traceFlag);
    TracedObject(const TracedObject& other);
    TracedObject& operator=(const TracedObject& other);
    virtual ~TracedObject();

    const char* name() const { return m_strName.c_str(); }
    std::int32_t version() const { return m_nVersion; }
    std::int32_t traceFlag() const { return m_nTrace; }

private:
    std::string m_strName;
    std::int32_t m_nVersion;
    std::int32_t m_nTrace;
};

// The process-wide trace switch handed to every TracedObject; 0 and never changed at run time.
std::int32_t TraceSwitch();
