#include "session/PortMapping.h"

#include "app/Log.h"

CPortMapping::CPortMapping(QObject* parent) : QObject(parent) {}

// The mapper's thread is joined before this object goes, so no late result can reach it.
CPortMapping::~CPortMapping() = default;

void CPortMapping::Start(std::uint16_t port, bool enabled)
{
    if (port == 0) {
        // Nothing is hosted, so nothing could be reached through the router.
        net::PortMapping none;
        none.state = net::PortMapping::State::None;
        none.reason = "no-session";
        Apply(none);
        return;
    }
    net::PortMapper::Options options;
    options.port = port;
    options.enabled = enabled;
    // Turned off, the state says so at once, not only when the mapper's thread has run.
    if (!enabled) {
        net::PortMapping off;
        off.state = net::PortMapping::State::None;
        off.reason = "off";
        m_current = off;
    }
    m_pMapper = std::make_unique<net::PortMapper>(options, [this](const net::PortMapping& mapping) {
        QMetaObject::invokeMethod(
            this, [this, mapping] { Apply(mapping); }, Qt::QueuedConnection);
    });
}

void CPortMapping::SetEnabled(bool enabled)
{
    if (m_pMapper) m_pMapper->SetEnabled(enabled);
}

void CPortMapping::Apply(const net::PortMapping& mapping)
{
    m_current = mapping;
    switch (mapping.state) {
    case net::PortMapping::State::Mapped:
        MORVIKA_LOG("LOG   CPortMapping::Apply() ルータのポートを開きました %s %s\n", mapping.Text().c_str(),
                    mapping.method.c_str());
        break;
    case net::PortMapping::State::None:
        MORVIKA_LOG("LOG   CPortMapping::Apply() ルータのポートを開けません %s %s\n", mapping.reason.c_str(),
                    mapping.detail.c_str());
        break;
    case net::PortMapping::State::Pending: break;
    }
    if (onChange) onChange(mapping);
}
