#pragma once
// The own session port on the home router, for the main window: one mapper for the whole run,
// turned on and off by the setting; what it achieved is logged and handed to the GUI thread.

#include <QObject>

#include <functional>
#include <memory>

#include "platform/net/PortMapper.h"

class CPortMapping : public QObject {
    Q_OBJECT
public:
    explicit CPortMapping(QObject* parent = nullptr);
    // Removes the mapping: waits for the router once, at exit.
    ~CPortMapping() override;

    // Starts mapping the port on the mapper's own thread; never waits for the router.
    void Start(std::uint16_t port, bool enabled);
    void SetEnabled(bool enabled);
    const net::PortMapping& Current() const { return m_current; }

    // Runs on the GUI thread after every change.
    std::function<void(const net::PortMapping&)> onChange;

private:
    void Apply(const net::PortMapping& mapping);

    std::unique_ptr<net::PortMapper> m_pMapper;
    net::PortMapping m_current;
};
