#pragma once
// The camera icon on the main window and the owner of the camera pipeline. A left click
// switches live video off and on; the icon shows which (large: live, small: off).

#include <functional>
#include <memory>
#include <string>

#include "video/CameraPipeline.h"
#include "video/WndObject.h"

class CCameraView : public CWndObject {
    Q_OBJECT
public:
    static constexpr int kControlId = 3000;

    // mainWindow receives the pipeline's events and frames.
    CCameraView(HWND mainWindow, QWidget* parent);
    ~CCameraView() override;

    // Creates the window 320 x 240 at the corner whatever size is asked for, with the
    // window frame part; the icon views follow from SetIcon.
    void Create(const QPoint& topLeft);
    void SetDeviceName(const std::string& name);

    int Run();
    void Stop() { m_pipeline.Stop(); }
    void Teardown() { m_pipeline.Teardown(); }
    void Restart() { m_pipeline.Restart(); }
    GraphAction OnGraphNotify() { return m_pipeline.OnGraphNotify(); }
    void ApplyControlData(const OskelJpegControlData& data) { m_pipeline.ApplyControlData(data); }
    void SetFrameRate(std::int32_t rate) { m_pipeline.SetFrameRate(rate); }
    void ToggleLive() { m_pipeline.ToggleLive(); }
    // Opens the camera image page with a copy of the settings; OK copies them back.
    void ShowProperties();
    // The camera image page; returns true on OK with the settings changed in place.
    std::function<bool(OskelJpegControlData&)> onShowProperties;

    CCameraPipeline& Pipeline() { return m_pipeline; }

protected:
    void OnPrimaryAction() override { ToggleLive(); }
    void OnProperties() override { ShowProperties(); }
    void BuildContextMenu(QMenu& menu) override;

private:
    CCameraPipeline m_pipeline;
};
