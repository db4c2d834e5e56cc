#pragma once
// The views of a window object on the main window: three window sizes and two icon sizes,
// each with a size and a position of its own, and the named parts that draw the object.
// Free of widgets; the window object (CWndObject) applies what is stored here.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/TracedObject.h"

class Oskel2DSize : public TracedObject {
public:
    Oskel2DSize(std::int32_t width = 0, std::int32_t height = 0)
        : TracedObject("Oskel2DSize", kVersion, TraceSwitch()),
          m_nWidth(width),
          m_nHeight(height)
    {
    }
    bool operator==(const Oskel2DSize& o) const { return m_nWidth == o.m_nWidth && m_nHeight == o.m_nHeight; }

    std::int32_t m_nWidth;
    std::int32_t m_nHeight;
};

class Oskel2DPoint : public TracedObject {
public:
    Oskel2DPoint(std::int32_t x = 0, std::int32_t y = 0)
        : TracedObject("Oskel2DPoint", kVersion, TraceSwitch()),
          m_nX(x),
          m_nY(y)
    {
    }
    bool operator==(const Oskel2DPoint& o) const { return m_nX == o.m_nX && m_nY == o.m_nY; }

    std::int32_t m_nX;
    std::int32_t m_nY;
};

// One view record.
class CWndinfoPosition : public TracedObject {
public:
    CWndinfoPosition() : TracedObject("CWndinfoPosition", kVersion, TraceSwitch()) {}

    std::string m_strName = "NonName";
    Oskel2DPoint m_Position;
    Oskel2DPoint m_Second;  // carried along with the record, used by nothing here
    Oskel2DSize m_Size;
};

class CWndInformation;

// A drawing part of a window object. Parts with a geometry (the window frame) set the
// view records when attached; icon parts carry the size of their icon.
class CWndPart {
public:
    explicit CWndPart(std::string name) : m_strName(std::move(name)) {}
    virtual ~CWndPart() = default;
    const std::string& Name() const { return m_strName; }
    void SetInformation(CWndInformation* info) { m_pInfo = info; }
    CWndInformation* Information() const { return m_pInfo; }

private:
    std::string m_strName;
    CWndInformation* m_pInfo = nullptr;
};

// The window frame part "Window": its text, its own size and position, and the presets.
class CWndFramePart : public CWndPart {
public:
    static constexpr int kLargeW = 339, kLargeH = 262;
    static constexpr int kMediumW = 179, kMediumH = 142;
    static constexpr int kSmallW = 99, kSmallH = 82;

    CWndFramePart() : CWndPart("Window") {}
    std::string m_strText;
    Oskel2DSize m_Size{32, 32};
    Oskel2DPoint m_Position;
};

// An icon part, "LargeIcon" or "SmallIcon": the icon file and its size.
class CWndIconPart : public CWndPart {
public:
    CWndIconPart(bool large, std::string file)
        : CWndPart(large ? "LargeIcon" : "SmallIcon"),
          m_strFile(std::move(file)),
          m_Size(large ? 32 : 16, large ? 32 : 16)
    {
    }
    const std::string& File() const { return m_strFile; }
    const Oskel2DSize& Size() const { return m_Size; }

private:
    std::string m_strFile;
    Oskel2DSize m_Size;
};

enum WndViewType : std::int32_t {
    kViewDefault = 0,
    kViewSmallWindow = 1,
    kViewMediumWindow = 2,
    kViewLargeWindow = 3,
    kViewSmallIcon = 4,
    kViewLargeIcon = 5,
};

// The view name of a view type; anything unknown is "DefaultWindow".
const char* ViewName(std::int32_t type);
inline bool IsIconView(std::int32_t type)
{
    return type == kViewSmallIcon || type == kViewLargeIcon;
}

class CWndInformation : public TracedObject {
public:
    CWndInformation() : TracedObject("CWndInformation", kVersion, TraceSwitch()) {}

    // The named part; with no name, the part drawing the current view.
    CWndPart* FindPart(const char* name = nullptr) const;

    Oskel2DSize GetSize(const char* name = nullptr) const;
    // Not const: a view whose position was never set takes the default's and keeps it.
    Oskel2DPoint GetPosition(const char* name = nullptr);
    void SetSize(std::int32_t width, std::int32_t height, const char* name = nullptr);
    void SetPosition(std::int32_t x, std::int32_t y, const char* name = nullptr);
    void SetDefaultPosition(std::int32_t x, std::int32_t y) { SetPosition(x, y, "DefaultWindow"); }

    void SetViewType(std::int32_t type) { m_nViewType = type; }
    std::int32_t GetViewType() const { return m_nViewType; }

    // Takes the part over; a frame part stores its geometry (and, with alsoDefault, for
    // "DefaultWindow") and gives the three window views their preset sizes.
    void AttachPart(std::unique_ptr<CWndPart> part, bool alsoDefault);

    const CWndinfoPosition* FindRecord(const std::string& name) const;
    std::size_t RecordCount() const { return m_records.size(); }

private:
    CWndinfoPosition& Record(const char* name);

    std::vector<CWndinfoPosition> m_records;  // unique by name, in insertion order
    std::vector<std::unique_ptr<CWndPart>> m_parts;
    std::int32_t m_nViewType = 0;
};

// Where a dragged window may go: x at least 0, y at least 32, and the window inside the
// parent's client area without its top 32 and bottom 17 pixels.
Oskel2DPoint ClampDragPosition(std::int32_t x, std::int32_t y, std::int32_t clientWidth, std::int32_t clientHeight,
                               std::int32_t width, std::int32_t height);
