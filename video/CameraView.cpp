#include "video/CameraView.h"

#include <QMenu>

#include "filter/OskelJpegDumpControl.h"

CCameraView::CCameraView(HWND mainWindow, QWidget* parent) : CWndObject(parent), m_pipeline(mainWindow)
{
    SetNotifyTarget(mainWindow);
    m_pipeline.onControlDataApplied = [this] {
        SetViewMode(m_pipeline.ControlData().m_nFrameRate != 0 ? kViewLargeIcon : kViewSmallIcon);
    };
}

CCameraView::~CCameraView() = default;

void CCameraView::Create(const QPoint& topLeft)
{
    CWndObject::Create("CCameraDevice", QRect(topLeft, QSize(kCameraWidth, kCameraHeight)), kControlId);
    auto frame = std::make_unique<CWndFramePart>();
    frame->m_Size = Oskel2DSize(kCameraWidth, kCameraHeight);
    frame->m_Position = Oskel2DPoint(222, 445);
    Information().AttachPart(std::move(frame), false);
}

void CCameraView::SetDeviceName(const std::string& name)
{
    SetName(name.c_str());
    m_pipeline.SetCameraName(name);
}

int CCameraView::Run()
{
    if (m_pipeline.CameraName().empty()) m_pipeline.SetCameraName(Name());
    return m_pipeline.Run();
}

void CCameraView::ShowProperties()
{
    if (m_pipeline.DumpElement() != nullptr && oskel_jpeg_dump_control_get_iface(m_pipeline.DumpElement()) == nullptr) {
        return;
    }
    OskelJpegControlData copy(m_pipeline.ControlData());
    if (onShowProperties && onShowProperties(copy)) m_pipeline.ApplyControlData(copy);
}

void CCameraView::BuildContextMenu(QMenu& menu)
{
    menu.addAction(tr("プロパティ"), this, [this] { OnCommand(ID_PROPERTIES); });
}
