#pragma once

#include "BaseSettings.h"

#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class CameraGrabber;
class DraggableFrame;
class LightController;
class PostProcessor;
class QButtonGroup;
class QComboBox;
class QLabel;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class RenderFrame;
class SettingRow;
class UpdateManager;
class VMic;

// The suite's window, a tray popup: the live preview of the virtual camera
// above six pages of settings rows (picture, camera, light, audio, overlays,
// settings). Rows are reordered by dragging, and the order is kept per page.
// Each row drives what it adjusts directly: the camera's controls through the
// grabber, the effects through the feeder's post-processor, the light panel,
// the virtual microphone, and the update manager.
class MainWidget : public QWidget
{
    Q_OBJECT
public:
    enum Page { Sliders = 0, Camera, Light, Audio, Overlays, Settings };
    Q_ENUM(Page)

    // What the window adjusts. A missing component leaves its rows out.
    struct Components
    {
        CameraGrabber* grabber = nullptr;
        std::shared_ptr<PostProcessor> effects;
        LightController* light = nullptr;
        VMic* vmic = nullptr;
        UpdateManager* updates = nullptr;
        // Whether the virtual cable's playback side exists: the audio page is
        // shown only then.
        bool audioCable = false;
    };
    // The application's components.
    static Components appComponents();

    explicit MainWidget(QWidget* parent = nullptr);
    explicit MainWidget(const Components& components, QWidget* parent = nullptr);
    ~MainWidget() override;

    // The page's rows, by name, in the order shown.
    QStringList rowOrder(Page page) const;
    QWidget* pageWidget(Page page) const;
    RenderFrame* preview() const { return _preview; }
    void showPage(Page page);
    // Next to the tray icon, or at the bottom right of the screen.
    void placeWindow();
    // The update manager, made after the first window: its buttons work from
    // then on.
    void setUpdateManager(UpdateManager* updates);

public slots:
    void onUpdaterStarted();
    void onUpdaterFinished();
    void onDownloadProcessStarted();
    void onDownloadProgress(float percent);
    void onDownloadProcessFinished();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void buildWindow();
    void buildPreview();
    QVBoxLayout* addPage(Page page, int height);
    void buildPage(Page page);
    QStringList storedOrder(Page page) const;
    void saveOrder(QVBoxLayout* layout);
    void moveRow(DraggableFrame* dragged, DraggableFrame* target);
    // A new row at the end of `page`: its frame, its layout, and the top line
    // holding the drag handle and the icon.
    struct Row
    {
        DraggableFrame* frame = nullptr;
        QVBoxLayout* layout = nullptr;
        class QHBoxLayout* top = nullptr;
        QLabel* icon = nullptr;
    };
    Row newRow(QVBoxLayout* page, const QString& name, const QString& objectName, const QString& icon);

    // Builders for the rows of `page` that are camera controls or effects.
    void addControlBuilders(QMap<QString, std::function<bool()>>& builders, Page page);
    void updateSlidersPage();
    void updateCameraPage();
    void updateLightPage();
    void updateAudioPage();
    void updateOverlaysPage();
    void updateSettingsPage();

    bool addCameraRow(QVBoxLayout* page, const QString& name);
    bool addEffectRow(QVBoxLayout* page, const QString& name);
    SettingRow* addSettingLayout(QVBoxLayout* page, const QString& name, const QString& label, const QString& icon,
                                 const QString& unit, const struct CameraSetting& record,
                                 std::function<bool(long, bool)> setter);
    void addVolumeRow(QVBoxLayout* page);
    void addFilterRow(QVBoxLayout* page, const QString& label, BaseSettings::Settings group, const QString& icon);
    void addOverlayRow(QVBoxLayout* page, BaseSettings::Settings group);
    void addSettingsToggles(QVBoxLayout* page);
    void addAppInformation(QVBoxLayout* page);
    void setLightStatus(bool connected);
    void applyLowPowerMode();
    void resetToDefaults();
    void chooseCamera(int index);
    bool drivesGrabber() const;
    bool lowPowerMode() const;
    void showNextFrame();
    void storeLogo(BaseSettings* s, const QString& path);

    BaseSettings* settings() const;

    Components _c;
    RenderFrame* _preview = nullptr;
    QLabel* _lowPower = nullptr;
    QLabel* _spinner = nullptr;
    QComboBox* _cameras = nullptr;
    QButtonGroup* _tabs = nullptr;
    QStackedWidget* _stack = nullptr;
    QPushButton* _updateButton = nullptr;
    QList<QVBoxLayout*> _pages;
    QElapsedTimer _sinceFrame;
    bool _previewRunning = false;
};
