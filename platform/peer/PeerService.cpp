#include "platform/peer/PeerService.h"

#include "platform/peer/PeerServiceImpl.h"

namespace peer {

CPeerService::CPeerService() = default;

CPeerService::~CPeerService()
{
    if (m_impl) m_impl->Close();
}

Result CPeerService::Initialize(void* context, EventHandler handler, ServiceOptions options)
{
    if (m_impl) m_impl->Close();
    m_impl = std::make_shared<Impl>(context, std::move(handler), std::move(options));
    m_impl->Start();
    return DPN_OK;
}

Result CPeerService::Host(const ApplicationDesc& application, std::uint16_t port)
{
    return m_impl ? m_impl->Host(application, port) : DPNERR_UNINITIALIZED;
}

std::uint16_t CPeerService::BoundPort() const
{
    return m_impl ? m_impl->BoundPort() : 0;
}
std::string CPeerService::HostError() const
{
    return m_impl ? m_impl->HostError() : "not initialized";
}

Result CPeerService::Connect(const Guid& application, const std::string& host, std::uint16_t port,
                             const void* connectData, std::uint32_t connectDataSize, const std::string& password)
{
    if (!m_impl) return DPNERR_UNINITIALIZED;
    return m_impl->Connect(application, host, port, connectData, connectDataSize, password);
}

std::string CPeerService::Fingerprint() const
{
    return m_impl ? m_impl->Fingerprint() : std::string();
}

Result CPeerService::SetPeerInfo(const std::string& name, const void* data, std::uint32_t size)
{
    return m_impl ? m_impl->SetPeerInfo(name, data, size) : DPNERR_UNINITIALIZED;
}

Result CPeerService::GetPeerInfo(PlayerId player, std::string& name, Bytes& data) const
{
    return m_impl ? m_impl->GetPeerInfo(player, name, data) : DPNERR_UNINITIALIZED;
}

Result CPeerService::SendTo(PlayerId player, const void* data, std::uint32_t size, std::chrono::milliseconds timeout,
                            std::uint32_t flags)
{
    return m_impl ? m_impl->SendTo(player, data, size, timeout, flags) : DPNERR_UNINITIALIZED;
}

Result CPeerService::DestroyPeer(PlayerId player)
{
    return m_impl ? m_impl->DestroyPeer(player) : DPNERR_UNINITIALIZED;
}

Result CPeerService::Close()
{
    return m_impl ? m_impl->Close() : DPNERR_UNINITIALIZED;
}

bool CPeerService::IsHost() const
{
    return m_impl && m_impl->IsHost();
}

PlayerId CPeerService::LocalPlayer() const
{
    return m_impl ? m_impl->LocalPlayer() : 0;
}

std::vector<PlayerId> CPeerService::Players() const
{
    return m_impl ? m_impl->Players() : std::vector<PlayerId>{};
}

std::function<void()> CPeerService::DeliveryDone() const
{
    return m_impl ? Impl::DeliveryDone(m_impl) : [] {};
}

CPeerService::Stats CPeerService::GetStats() const
{
    return m_impl ? m_impl->GetStats() : Stats{};
}

}  // namespace peer
