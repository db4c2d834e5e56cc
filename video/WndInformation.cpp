#include "video/WndInformation.h"

#include <algorithm>

const char* ViewName(std::int32_t type)
{
    switch (type) {
    case kViewSmallWindow: return "SmallWindow";
    case kViewMediumWindow: return "MediumWindow";
    case kViewLargeWindow: return "LargeWindow";
    case kViewSmallIcon: return "SmallIcon";
    case kViewLargeIcon: return "LargeIcon";
    default: return "DefaultWindow";
    }
}

CWndPart* CWndInformation::FindPart(const char* name) const
{
    const std::string wanted = name != nullptr                 ? name
                               : m_nViewType == kViewSmallIcon ? "SmallIcon"
                               : m_nViewType == kViewLargeIcon ? "LargeIcon"
                                                               : "Window";
    for (const auto& part : m_parts) {
        if (part->Name() == wanted) return part.get();
    }
    return nullptr;
}

const CWndinfoPosition* CWndInformation::FindRecord(const std::string& name) const
{
    for (const auto& record : m_records) {
        if (record.m_strName == name) return &record;
    }
    return nullptr;
}

CWndinfoPosition& CWndInformation::Record(const char* name)
{
    const std::string key = name != nullptr ? name : ViewName(m_nViewType);
    for (auto& record : m_records) {
        if (record.m_strName == key) return record;
    }
    CWndinfoPosition& created = m_records.emplace_back();
    created.m_strName = key;
    return created;
}

Oskel2DSize CWndInformation::GetSize(const char* name) const
{
    const std::string key = name != nullptr ? name : ViewName(m_nViewType);
    const CWndinfoPosition* record = FindRecord(key);
    if (record == nullptr) record = FindRecord("DefaultWindow");
    if (record == nullptr) return Oskel2DSize(320, 240);
    return record->m_Size;
}

Oskel2DPoint CWndInformation::GetPosition(const char* name)
{
    const std::string key = name != nullptr ? name : ViewName(m_nViewType);
    const CWndinfoPosition* record = FindRecord(key);
    if (record == nullptr) record = FindRecord("DefaultWindow");
    if (record == nullptr) return Oskel2DPoint(0, 0);
    if (record->m_Position == Oskel2DPoint(0, 0)) {
        const CWndinfoPosition* fallback = FindRecord("DefaultWindow");
        const Oskel2DPoint position = fallback != nullptr ? fallback->m_Position : Oskel2DPoint(0, 0);
        SetPosition(position.m_nX, position.m_nY, key.c_str());
        return position;
    }
    return record->m_Position;
}

void CWndInformation::SetSize(std::int32_t width, std::int32_t height, const char* name)
{
    CWndinfoPosition& record = Record(name);
    record.m_Size = Oskel2DSize(width, height);
}

void CWndInformation::SetPosition(std::int32_t x, std::int32_t y, const char* name)
{
    CWndinfoPosition& record = Record(name);
    record.m_Position = Oskel2DPoint(x, y);
}

void CWndInformation::AttachPart(std::unique_ptr<CWndPart> part, bool alsoDefault)
{
    part->SetInformation(this);
    CWndPart* attached = part.get();
    m_parts.push_back(std::move(part));
    if (auto* frame = dynamic_cast<CWndFramePart*>(attached)) {
        const Oskel2DSize size = frame->m_Size;
        const Oskel2DPoint position = frame->m_Position;
        SetSize(size.m_nWidth, size.m_nHeight);
        SetPosition(position.m_nX, position.m_nY);
        if (alsoDefault) {
            SetSize(size.m_nWidth, size.m_nHeight, "DefaultWindow");
            SetPosition(position.m_nX, position.m_nY, "DefaultWindow");
        }
        SetSize(CWndFramePart::kLargeW, CWndFramePart::kLargeH, "LargeWindow");
        SetSize(CWndFramePart::kMediumW, CWndFramePart::kMediumH, "MediumWindow");
        SetSize(CWndFramePart::kSmallW, CWndFramePart::kSmallH, "SmallWindow");
        for (const char* view : {"LargeWindow", "MediumWindow", "SmallWindow"}) {
            SetPosition(position.m_nX, position.m_nY, view);
        }
    } else if (auto* icon = dynamic_cast<CWndIconPart*>(attached)) {
        // An icon view is as large as its icon; its position stays the default's.
        SetSize(icon->Size().m_nWidth, icon->Size().m_nHeight, icon->Name().c_str());
    }
}

Oskel2DPoint ClampDragPosition(std::int32_t x, std::int32_t y, std::int32_t clientWidth, std::int32_t clientHeight,
                               std::int32_t width, std::int32_t height)
{
    constexpr std::int32_t kTop = 32;
    constexpr std::int32_t kBottom = 17;
    x = std::max(x, 0);
    y = std::max(y, kTop);
    const std::int32_t right = clientWidth - width;
    const std::int32_t bottom = clientHeight - kBottom - height;
    if (x > right) x = std::max(0, right);
    if (y > bottom) y = std::max(kTop, bottom);
    return Oskel2DPoint(x, y);
}
