#include "MainWidget.h"

#include "App.h"
#include "CameraGrabber.h"
#include "ClickableLabel.h"
#include "DraggableFrame.h"
#include "LightController.h"
#include "PostProcessor.h"
#include "RenderFrame.h"
#include "SettingRow.h"
#include "ShadowedFrame.h"
#include "FontFamilyWidget.h"
#include "Style.h"
#include "UpdateManager.h"
#include "VCam.h"
#include "VMic.h"

#include <QBuffer>
#include <QButtonGroup>
#include <QColorDialog>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaEnum>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <optional>
#include <utility>
#include <tuple>

namespace {

constexpr int kPreviewWidth = 320;
constexpr int kPreviewHeight = 180;
constexpr int kPreviewCameraWidth = 640;
constexpr int kPreviewCameraHeight = 360;
const char* const kVirtualCamera = "Vantor Control";
const char* const kShopUrl = "https://vantorcontrol.com/light-panel";

struct PageInfo
{
    const char* icon;
    int height;
    QStringList order;
};

const PageInfo& pageInfo(MainWidget::Page page)
{
    static const PageInfo pages[] = {
        {"icon_colors", 880, {"White Balance", "Skin Tone", "Brightness", "Saturation", "Exposure", "Backlight"}},
        {"icon_camera", 780, {"Zoom", "Background Blur", "Sharpness", "Contrast", "Focus"}},
        {"icon_brightness", 520, {"Temperature", "Brightness"}},
        {"icon_microphone", 780, {"Mute", "Volume", "Denoise", "Bass", "Treble", "Compression"}},
        {"icon_logo", 780, {"Logo", "Text"}},
        {"icon_settings", 910, {"Settings", "Rotation", "Angle", "Home Voltage", "App Information"}},
    };
    return pages[page];
}

QString pageName(MainWidget::Page page)
{
    return QString::fromLatin1(QMetaEnum::fromType<MainWidget::Page>().valueToKey(page));
}

// A row of a control: its label, object name, icon, unit tag, and the getter
// and setter of the component (the grabber or the post-processor) it adjusts.
template <class T>
struct ControlRow
{
    const char* label;
    const char* name;
    const char* icon;
    const char* unit;
    bool (T::*get)(CameraSetting&);
    bool (T::*set)(long, bool);
};

const ControlRow<CameraGrabber> kCameraRows[] = {
    {"White Balance", "WhiteBalance", "icon_white_balance", "TEMP", &CameraGrabber::getWhiteBalance,
     &CameraGrabber::setWhiteBalance},
    {"Brightness", "Brightness", "icon_brightness", "PERC", &CameraGrabber::getBrightness,
     &CameraGrabber::setBrightness},
    {"Saturation", "Saturation", "icon_saturation", "PERC", &CameraGrabber::getSaturation,
     &CameraGrabber::setSaturation},
    {"Exposure", "Exposure", "icon_exposure", "PERC", &CameraGrabber::getExposure, &CameraGrabber::setExposure},
    {"Backlight", "BacklightCompensation", "icon_backlight", "[Off, On]", &CameraGrabber::getBacklightCompensation,
     &CameraGrabber::setBacklightCompensation},
    {"Zoom", "Zoom", "icon_zoom", "PERC", &CameraGrabber::getZoom, &CameraGrabber::setZoom},
    {"Sharpness", "Sharpness", "icon_sharpness", "PERC", &CameraGrabber::getSharpness, &CameraGrabber::setSharpness},
    {"Contrast", "Contrast", "icon_contrast", "PERC", &CameraGrabber::getContrast, &CameraGrabber::setContrast},
    {"Focus", "Focus", "icon_focus", "", &CameraGrabber::getFocus, &CameraGrabber::setFocus},
    {"Home Voltage", "PowerLine", "icon_power_line", "[Auto, 220v, 110v]", &CameraGrabber::getPowerLine,
     &CameraGrabber::setPowerLine},
};

const ControlRow<PostProcessor> kEffectRows[] = {
    {"Skin Tone", "SkinTone", "icon_skin", "SKIN", &PostProcessor::getSkinTone, &PostProcessor::setSkinTone},
    {"Background Blur", "BackgroundBlur", "icon_blur", "PERC", &PostProcessor::getBackgroundBlur,
     &PostProcessor::setBackgroundBlur},
    {"Rotation", "CameraRotation", "icon_rotation", "ROT", &PostProcessor::getCameraRotation,
     &PostProcessor::setCameraRotation},
    {"Angle", "FineCameraRotation", "icon_fine_rotation", "DEG", &PostProcessor::getFineCameraRotation,
     &PostProcessor::setFineCameraRotation},
};

QLabel* textLabel(const QString& text, QWidget* parent, int pointSize = 11, int weight = 600)
{
    auto* label = new QLabel(text, parent);
    gui::styleTextField(label, pointSize, QStringLiteral("transparent"), gui::argb(gui::color(5)),
                        QStringLiteral("none"), weight);
    return label;
}

// A row's name takes the room its row leaves, so a long value text never
// widens the page past the window.
QLabel* rowTitle(const QString& text, QWidget* parent)
{
    QLabel* label = textLabel(text, parent, 10, 600);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}

QCheckBox* toggleButton(QWidget* parent, const QString& accessibleName)
{
    auto* toggle = new QCheckBox(parent);
    toggle->setObjectName(QStringLiteral("toggle_button"));
    toggle->setProperty("settings_default_check_value", false);
    toggle->setAccessibleName(accessibleName);
    toggle->setFocusPolicy(Qt::StrongFocus);
    gui::styleIconToggle(toggle, 28, QStringLiteral("icon_toggle"), 1, Qt::transparent, Qt::transparent);
    return toggle;
}

// A message with a single "Ok", when the application can show one.
void tell(const QString& text)
{
    if (App* app = App::instance())
        app->messageBox(text, QString(), MainWidget::tr("Ok"), QString());
}

QScreen* screenForPopup()
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    return screen ? screen : QGuiApplication::primaryScreen();
}

} // namespace

MainWidget::Components MainWidget::appComponents()
{
    Components c;
    if (App* app = App::instance()) {
        c.grabber = app->cameraGrabber();
        c.effects = app->vcam() ? app->vcam()->postProcessor() : nullptr;
        c.light = app->lightController();
        c.vmic = app->vmic();
        c.updates = app->updateManager();
        c.audioCable = !VMic::findVirtualOutputDevice(false).isNull();
    }
    return c;
}

MainWidget::MainWidget(QWidget* parent)
    : MainWidget(appComponents(), parent)
{}

MainWidget::MainWidget(const Components& components, QWidget* parent)
    : QWidget(parent)
    , _c(components)
{
    setWindowTitle(QString::fromLatin1(kVirtualCamera));
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    buildWindow();
    for (Page p : {Sliders, Camera, Light, Audio, Overlays, Settings})
        buildPage(p);
    applyLowPowerMode();
    showPage(Sliders);
    // The update manager's progress, as the application passes it on.
    if (App* app = App::instance()) {
        connect(app, &App::onUpdaterStarted, this, &MainWidget::onUpdaterStarted);
        connect(app, &App::onUpdaterFinished, this, &MainWidget::onUpdaterFinished);
        connect(app, &App::onDownloaderStarted, this, &MainWidget::onDownloadProcessStarted);
        connect(app, &App::onDownloaderProgress, this, &MainWidget::onDownloadProgress);
        connect(app, &App::onDownloaderFinished, this, &MainWidget::onDownloadProcessFinished);
    }
}

MainWidget::~MainWidget()
{
    if (_c.grabber && drivesGrabber())
        _c.grabber->stopCamera();
    qDebug() << "MainWidget DCTOR!";
}

BaseSettings* MainWidget::settings() const
{
    App* app = App::instance();
    return app ? app->settings() : nullptr;
}

void MainWidget::buildWindow()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* shadowLayer = new ShadowedFrame(this, true);
    shadowLayer->setObjectName(QStringLiteral("ShadowLayer"));
    shadowLayer->setBackgroundColor(Qt::transparent);
    shadowLayer->setFillColor(gui::color(2));
    shadowLayer->setShadowAlpha(0.35f);
    outer->addWidget(shadowLayer);
    auto* shadowLayout = new QVBoxLayout(shadowLayer);
    shadowLayout->setContentsMargins(8, 8, 8, 8);
    auto* mainFrame = new QFrame(shadowLayer);
    mainFrame->setObjectName(QStringLiteral("MainFrame"));
    mainFrame->setStyleSheet(QStringLiteral("#MainFrame { background: transparent; }"));
    shadowLayout->addWidget(mainFrame);
    auto* layout = new QVBoxLayout(mainFrame);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(6);
    setFixedWidth(kPreviewWidth + 72);

    buildPreview();
    layout->addWidget(_preview, 0, Qt::AlignHCenter);
    layout->addWidget(_cameras);

    auto* header = new QFrame(mainFrame);
    header->setObjectName(QStringLiteral("tabHeader"));
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(0, 4, 0, 4);
    _tabs = new QButtonGroup(this);
    _tabs->setExclusive(true);
    _stack = new QStackedWidget(mainFrame);
    _stack->setObjectName(QStringLiteral("_mainStack"));
    for (Page p : {Sliders, Camera, Light, Audio, Overlays, Settings}) {
        if (p == Audio && !_c.audioCable) {
            _pages << nullptr;
            continue;
        }
        auto* tab = new QPushButton(header);
        tab->setCheckable(true);
        tab->setObjectName(QStringLiteral("tab_") + pageName(p));
        tab->setAccessibleName(pageName(p));
        tab->setToolTip(pageName(p));
        gui::styleIconToggle(tab, 26, QString::fromLatin1(pageInfo(p).icon), 4, Qt::transparent, Qt::transparent);
        _tabs->addButton(tab, p);
        headerLayout->addWidget(tab);
        addPage(p, pageInfo(p).height);
    }
    connect(_tabs, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked)
            showPage(Page(id));
    });
    layout->addWidget(header);
    layout->addWidget(_stack, 1);

    auto* footer = new QFrame(mainFrame);
    footer->setObjectName(QStringLiteral("footerFrame"));
    auto* footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(0, 4, 0, 0);
    auto* quit = new QPushButton(tr("Quit"), footer);
    auto* reset = new QPushButton(tr("Reset"), footer);
    for (QPushButton* b : {quit, reset})
        gui::styleTextButton(b, 10, gui::argb(gui::color(0)), gui::argb(gui::color(5)), gui::argb(gui::color(7)), 600,
                             QStringLiteral("4px 14px"));
    footerLayout->addWidget(quit);
    footerLayout->addStretch(1);
    footerLayout->addWidget(reset);
    layout->addWidget(footer);
    // Quitting deletes this window: the shutdown runs after the click handler.
    connect(quit, &QPushButton::clicked, this, [] {
        if (App* app = App::instance())
            QTimer::singleShot(0, app, &App::shutdown);
    });
    connect(reset, &QPushButton::clicked, this, &MainWidget::resetToDefaults);
}

void MainWidget::buildPreview()
{
    _preview = new RenderFrame(this);
    _preview->setFixedSize(kPreviewWidth, kPreviewHeight);
    _preview->setBackgroundColor(gui::color(0));
    _preview->setFrameOpacity(0.9f);
    _preview->setShadowAlpha(0.35f);
    _preview->setAccessibleName(tr("Preview"));
    const auto overlay = [this](const QString& name, const QString& text, double opacity) {
        auto* label = new QLabel(text, _preview);
        label->setObjectName(name);
        label->setAlignment(Qt::AlignCenter);
        label->setGeometry(8, 8, kPreviewWidth - 16, kPreviewHeight - 16);
        label->setStyleSheet(QStringLiteral("QLabel { background: black; color: white; border-radius: 8px; "
                                            "font-size: 12pt; font-weight: 600; }"));
        auto* effect = new QGraphicsOpacityEffect(label);
        effect->setOpacity(opacity);
        label->setGraphicsEffect(effect);
        label->hide();
        return label;
    };
    _lowPower = overlay(QStringLiteral("low_power"), tr("Low power mode"), 0.45);
    _spinner = overlay(QStringLiteral("spinner"), tr("connecting to device..."), 0.5);

    _cameras = new QComboBox(this);
    _cameras->addItem(tr("Choose camera"), -1);
    _cameras->hide();
    if (!_c.grabber)
        return;
    const QStringList names = _c.grabber->getDeviceNames();
    for (int i = 0; i < names.size(); ++i)
        if (names[i].contains(QLatin1String(kVirtualCamera)))
            _cameras->addItem(names[i], i);
    connect(_c.grabber, &CameraGrabber::onNewFrameAvailable, this, &MainWidget::showNextFrame, Qt::QueuedConnection);
    connect(_cameras, &QComboBox::currentIndexChanged, this, &MainWidget::chooseCamera);
    if (_cameras->count() < 2) {
        // Without the virtual camera there is nothing to show or adjust: the
        // user is told, and the program ends in order.
        QTimer::singleShot(0, this, [] {
            tell(tr("Unable to find or open Vantor Control camera!"));
            if (App* app = App::instance())
                app->shutdown();
        });
        return;
    }
    _cameras->setCurrentIndex(1);
    auto* watch = new QTimer(this);
    connect(watch, &QTimer::timeout, this, [this] {
        _spinner->setVisible(!lowPowerMode() && _previewRunning && _sinceFrame.isValid()
                             && _sinceFrame.elapsed() > 5000);
    });
    watch->start(1000);
}

void MainWidget::chooseCamera(int index)
{
    const int device = _cameras->itemData(index).toInt();
    if (!_c.grabber || device < 0 || !drivesGrabber())
        return;
    _c.grabber->stopCamera();
    // The preview is a client of the virtual camera, and any client keeps the
    // physical camera running: it runs only while the window is shown. A
    // hidden window keeps just the camera's controls open, for its rows.
    if (!isVisible()) {
        _previewRunning = false;
        _c.grabber->startControlDevice(kPreviewCameraWidth, kPreviewCameraHeight);
        return;
    }
    // A negative height asks for the rows top first, as the preview paints them.
    _previewRunning =
        _c.grabber->startCamera(kPreviewCameraWidth, -kPreviewCameraHeight, device, _cameras->itemText(index), true);
    if (_previewRunning)
        _c.grabber->startPreview();
    _sinceFrame.start();
}

bool MainWidget::lowPowerMode() const
{
    return settings() && settings()->getSetting(BaseSettings::General, BaseSettings::LowPowerMode).toBool();
}

bool MainWidget::drivesGrabber() const
{
    // A window replaced on a colour-scheme change leaves the shared grabber
    // to its successor.
    App* app = App::instance();
    return !app || !app->mainWidget() || app->mainWidget() == this;
}

void MainWidget::showNextFrame()
{
    if (!_c.grabber)
        return;
    QImage frame;
    bool got = false;
    _c.grabber->getFrame(frame, [&got](bool ok) { got = ok; });
    if (!got || frame.isNull())
        return;
    _sinceFrame.start();
    _spinner->hide();
    _preview->onNewFrame(frame, false);
}

QVBoxLayout* MainWidget::addPage(Page page, int height)
{
    auto* scroll = new QScrollArea(_stack);
    scroll->setObjectName(QStringLiteral("scrollArea"));
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(QStringLiteral("QScrollArea, #settingsFrame { background: transparent; }"));
    auto* frame = new QFrame(scroll);
    frame->setObjectName(QStringLiteral("settingsFrame"));
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setProperty("settings_name", pageName(page));
    layout->setProperty("settings_height", height);
    scroll->setWidget(frame);
    _stack->addWidget(scroll);
    _pages << layout;
    return layout;
}

QWidget* MainWidget::pageWidget(Page page) const
{
    QVBoxLayout* layout = _pages.value(page);
    return layout ? layout->parentWidget() : nullptr;
}

namespace {

// The names of a page's rows, in layout order.
QStringList rowNames(const QVBoxLayout* layout)
{
    QStringList names;
    for (int i = 0; layout && i < layout->count(); ++i)
        if (auto* row = qobject_cast<DraggableFrame*>(layout->itemAt(i)->widget()))
            names << row->property("setting_name").toString();
    return names;
}

} // namespace

QStringList MainWidget::rowOrder(Page page) const
{
    return rowNames(_pages.value(page));
}

QStringList MainWidget::storedOrder(Page page) const
{
    const QStringList defaults = pageInfo(page).order;
    QStringList stored = settings() ? settings()->value(pageName(page), defaults).toStringList() : defaults;
    // A damaged list must not build a row twice; rows added since it was
    // stored come last.
    stored.removeDuplicates();
    for (const QString& name : defaults)
        if (!stored.contains(name))
            stored << name;
    return stored;
}

void MainWidget::saveOrder(QVBoxLayout* layout)
{
    const QString key = layout->property("settings_name").toString();
    const QStringList order = rowNames(layout);
    qDebug() << "saving settings order ofr " << key << ": " << order;
    if (BaseSettings* s = settings()) {
        s->setValue(key, order);
        s->sync();
    }
}

void MainWidget::moveRow(DraggableFrame* dragged, DraggableFrame* target)
{
    auto* layout = qobject_cast<QVBoxLayout*>(target->parentWidget() ? target->parentWidget()->layout() : nullptr);
    if (!layout || layout->indexOf(dragged) < 0)
        return;
    const int to = layout->indexOf(target);
    layout->removeWidget(dragged);
    layout->insertWidget(to, dragged);
    saveOrder(layout);
}

MainWidget::Row MainWidget::newRow(QVBoxLayout* page, const QString& name, const QString& objectName,
                                   const QString& icon)
{
    Row r;
    r.frame = new DraggableFrame(page->parentWidget());
    r.frame->setObjectName(objectName);
    r.frame->setProperty("setting_name", name);
    r.frame->setBackgroundColor(gui::color(2));
    r.frame->setFillColor(gui::color(0));
    connect(r.frame, &DraggableFrame::onFrameDropped, this, &MainWidget::moveRow);
    page->addWidget(r.frame);
    // Every row starts with its drag handle and icon.
    r.layout = new QVBoxLayout(r.frame);
    r.layout->setContentsMargins(12, 14, 12, 14);
    r.top = new QHBoxLayout;
    r.top->setSpacing(5);
    r.layout->addLayout(r.top);
    auto* handle = new QLabel(r.frame);
    handle->setObjectName(QStringLiteral("icon_drag_label"));
    gui::setIconLabel(handle, 16, QStringLiteral(":/assets/icon_drag"), true);
    r.frame->setDragHandle(handle);
    r.icon = new QLabel(r.frame);
    gui::setIconLabel(r.icon, 20, QStringLiteral(":/assets/") + icon, true);
    r.top->addWidget(handle);
    r.top->addWidget(r.icon);
    return r;
}

void MainWidget::buildPage(Page page)
{
    switch (page) {
    case Sliders:
        return updateSlidersPage();
    case Camera:
        return updateCameraPage();
    case Light:
        return updateLightPage();
    case Audio:
        return updateAudioPage();
    case Overlays:
        return updateOverlaysPage();
    case Settings:
        return updateSettingsPage();
    }
}

namespace {

// Builds a page's rows in the stored order; a name no builder knows is
// skipped. Returns how many rows were built.
int buildRows(const QStringList& order, const QMap<QString, std::function<bool()>>& builders)
{
    int built = 0;
    for (const QString& name : order)
        if (const auto it = builders.find(name); it != builders.end() && (*it)())
            ++built;
    return built;
}

QLabel* warningFrame(QVBoxLayout* page, const QString& text)
{
    auto* frame = new ShadowedFrame(page->parentWidget(), true);
    frame->setObjectName(QStringLiteral("warning_frame"));
    frame->setBackgroundColor(gui::color(2));
    frame->setFillColor(gui::color(0));
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(28, 24, 28, 24);
    auto* label = textLabel(text, frame, 11, 500);
    label->setObjectName(QStringLiteral("warning_frame_text"));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    page->addWidget(frame);
    return label;
}

void finishPage(QVBoxLayout* page, int built)
{
    if (built == 0)
        warningFrame(page, QObject::tr("This device doesn't seem to be compatible."));
    page->addStretch(1);
}

} // namespace

namespace {

// The row of `rows` labelled `label` with its record read from `target`, or
// nothing when there is no such row or the record cannot be read.
template <class T, std::size_t N>
std::optional<std::pair<const ControlRow<T>*, CameraSetting>> controlRow(const ControlRow<T> (&rows)[N],
                                                                         const QString& label, T* target)
{
    for (const ControlRow<T>& r : rows) {
        CameraSetting record;
        if (label == QLatin1String(r.label))
            return target && (target->*r.get)(record) ? std::optional(std::pair(&r, record)) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

bool MainWidget::addCameraRow(QVBoxLayout* page, const QString& label)
{
    const auto found = controlRow(kCameraRows, label, _c.grabber);
    if (!found)
        return false;
    const auto [r, record] = *found;
    CameraGrabber* grabber = _c.grabber;
    addSettingLayout(page, QString::fromLatin1(r->name), label, QString::fromLatin1(r->icon),
                     QString::fromLatin1(r->unit), record,
                     [grabber, set = r->set](long v, bool a) { return (grabber->*set)(v, a); });
    return true;
}

bool MainWidget::addEffectRow(QVBoxLayout* page, const QString& label)
{
    const auto found = controlRow(kEffectRows, label, _c.effects.get());
    if (!found)
        return false;
    const auto [r, record] = *found;
    addSettingLayout(page, QString::fromLatin1(r->name), label, QString::fromLatin1(r->icon),
                     QString::fromLatin1(r->unit), record,
                     [effects = _c.effects, set = r->set](long v, bool a) { return (effects.get()->*set)(v, a); });
    return true;
}

SettingRow* MainWidget::addSettingLayout(QVBoxLayout* page, const QString& name, const QString& label,
                                         const QString& icon, const QString& unit, const CameraSetting& record,
                                         std::function<bool(long, bool)> setter)
{
    const Row r = newRow(page, label, QStringLiteral("Setting_") + name, icon);
    DraggableFrame* row = r.frame;
    QVBoxLayout* layout = r.layout;
    auto* value = textLabel(QString(), row, 9, 500);
    value->setObjectName(QStringLiteral("value_label"));
    auto* toggle = toggleButton(row, label);
    r.top->addWidget(rowTitle(label, row), 1);
    r.top->addWidget(value);
    r.top->addWidget(toggle);
    auto* slider = new QSlider(Qt::Horizontal, row);
    slider->setFocusPolicy(Qt::StrongFocus);
    gui::styleSliderForUnit(slider, unit);
    layout->addWidget(slider);
    return new SettingRow(name, label, unit, record, std::move(setter), toggle, slider, value, row);
}

void MainWidget::addControlBuilders(QMap<QString, std::function<bool()>>& builders, Page page)
{
    // Each of the page's rows that is a camera control or an effect: the
    // tables say which.
    QVBoxLayout* layout = _pages.value(page);
    for (const QString& name : pageInfo(page).order)
        builders.insert(name,
                        [this, layout, name] { return addCameraRow(layout, name) || addEffectRow(layout, name); });
}

void MainWidget::updateSlidersPage()
{
    QMap<QString, std::function<bool()>> builders;
    addControlBuilders(builders, Sliders);
    finishPage(_pages.value(Sliders), buildRows(storedOrder(Sliders), builders));
}

void MainWidget::updateCameraPage()
{
    QMap<QString, std::function<bool()>> builders;
    addControlBuilders(builders, Camera);
    finishPage(_pages.value(Camera), buildRows(storedOrder(Camera), builders));
}

void MainWidget::updateLightPage()
{
    QVBoxLayout* page = _pages.value(Light);
    QMap<QString, std::function<bool()>> builders;
    if (LightController* light = _c.light) {
        builders.insert(QStringLiteral("Temperature"), [this, page, light] {
            SettingRow* row =
                addSettingLayout(page, QStringLiteral("Temperature"), QStringLiteral("Temperature"),
                                 QStringLiteral("icon_white_balance"), QStringLiteral("TEMP"), light->getTemperature(),
                                 [light](long v, bool a) { return light->setTemperature(v, a); });
            connect(light, &LightController::onTemperature, row, &SettingRow::showExternalValue);
            return true;
        });
        builders.insert(QStringLiteral("Brightness"), [this, page, light] {
            SettingRow* row =
                addSettingLayout(page, QStringLiteral("Brightness"), QStringLiteral("Brightness"),
                                 QStringLiteral("icon_brightness"), QStringLiteral("PERC"), light->getBrightness(),
                                 [light](long v, bool a) { return light->setBrightness(v, a); });
            connect(light, &LightController::onBrightness, row, &SettingRow::showExternalValue);
            return true;
        });
    }
    buildRows(storedOrder(Light), builders);
    QLabel* warning = warningFrame(
        page, tr("This feature requires a charged ")
                  + QStringLiteral("<br><br><a href=\"%1\" style=\"color: "
                                   "%2;\"><b><u>%3</u></b></a>")
                        .arg(QLatin1String(kShopUrl), gui::argb(gui::color(11)), tr("Vantor Light Panel")));
    warning->setTextFormat(Qt::RichText);
    warning->setOpenExternalLinks(true);
    page->addStretch(1);
    if (_c.light)
        connect(_c.light, &LightController::onStatusChanged, this, &MainWidget::setLightStatus);
    setLightStatus(_c.light && _c.light->isConnected());
}

void MainWidget::setLightStatus(bool connected)
{
    QWidget* page = pageWidget(Light);
    if (!page)
        return;
    // Only this page's rows: the picture page has a "Setting_Brightness" too.
    for (const char* name : {"Setting_Temperature", "Setting_Brightness"})
        if (auto* row = page->findChild<QWidget*>(QLatin1String(name)))
            row->setVisible(connected);
    if (auto* warning = page->findChild<QWidget*>(QStringLiteral("warning_frame")))
        warning->setVisible(!connected);
}

void MainWidget::updateAudioPage()
{
    QVBoxLayout* page = _pages.value(Audio);
    if (!page)
        return;
    QMap<QString, std::function<bool()>> builders;
    if (_c.vmic)
        builders.insert(QStringLiteral("Volume"), [this, page] {
            addVolumeRow(page);
            return true;
        });
    const struct
    {
        const char* label;
        BaseSettings::Settings group;
        const char* icon;
    } filters[] = {{"Denoise", BaseSettings::DSPRNN, "icon_denoise"},
                   {"AGC", BaseSettings::DSPAGC, "icon_agc"},
                   {"Bass", BaseSettings::DSPBass, "icon_bass"},
                   {"Treble", BaseSettings::DSPTreble, "icon_treble"},
                   {"Compression", BaseSettings::DSPCompressor, "icon_compression"}};
    for (const auto& f : filters)
        builders.insert(QString::fromLatin1(f.label), [this, page, f] {
            addFilterRow(page, QString::fromLatin1(f.label), f.group, QString::fromLatin1(f.icon));
            return true;
        });
    finishPage(page, buildRows(storedOrder(Audio), builders));
}

void MainWidget::addVolumeRow(QVBoxLayout* page)
{
    const Row r =
        newRow(page, QStringLiteral("Volume"), QStringLiteral("Setting_Volume"), QStringLiteral("icon_volume"));
    DraggableFrame* row = r.frame;
    QVBoxLayout* layout = r.layout;
    QLabel* icon = r.icon;
    auto* value = textLabel(QString(), row);
    value->setObjectName(QStringLiteral("value_label"));
    auto* toggle = toggleButton(row, tr("Volume"));
    toggle->setProperty("settings_default_check_value", true);
    r.top->addWidget(value);
    r.top->addStretch(1);
    r.top->addWidget(toggle);
    auto* slider = new QSlider(Qt::Horizontal, row);
    slider->setRange(0, 100);
    slider->setAccessibleName(tr("Volume"));
    gui::styleSliderForUnit(slider, QStringLiteral("PERC"));
    layout->addWidget(slider);

    VMic* vmic = _c.vmic;
    CameraSetting volume, mute;
    vmic->getVolume(volume);
    vmic->getMute(mute);
    {
        const QSignalBlocker b1(slider), b2(toggle);
        slider->setValue(volume.value);
        toggle->setChecked(mute.value == 0);
    }
    const auto show = [=] {
        const bool on = toggle->isChecked();
        slider->setEnabled(on);
        value->setText(on ? QStringLiteral("%1%").arg(slider->value()) : tr("Muted"));
        slider->setAccessibleDescription(value->text());
        gui::setIconLabel(icon, 15, on ? QStringLiteral(":/assets/icon_volume") : QStringLiteral(":/assets/icon_mute"),
                          true);
    };
    show();
    connect(toggle, &QCheckBox::toggled, row, [=](bool on) {
        if (!vmic->setMute(!on))
            qDebug() << "Error setting Mute";
        show();
    });
    connect(slider, &QSlider::valueChanged, row, [=](int v) {
        if (!vmic->setVolume(v))
            qDebug() << "Error setting Volume";
        show();
    });
}

void MainWidget::addFilterRow(QVBoxLayout* page, const QString& label, BaseSettings::Settings group,
                              const QString& icon)
{
    BaseSettings* s = settings();
    if (!s)
        return;
    const Row r = newRow(page, label, QStringLiteral("Setting_") + BaseSettings::keyName(group), icon);
    DraggableFrame* row = r.frame;
    QVBoxLayout* layout = r.layout;
    auto* value = textLabel(QString(), row, 9, 500);
    value->setObjectName(QStringLiteral("value_label"));
    auto* toggle = toggleButton(row, label);
    toggle->setProperty("settings_default_check_value",
                        BaseSettings::groupDefaults(group).value(BaseSettings::keyName(BaseSettings::Enabled)));
    r.top->addWidget(rowTitle(label, row), 1);
    r.top->addWidget(value);
    r.top->addWidget(toggle);
    auto* slider = new QSlider(Qt::Horizontal, row);
    slider->setRange(0, 100);
    slider->setAccessibleName(label);
    gui::styleSliderForUnit(slider, QStringLiteral("PERC"));
    layout->addWidget(slider);
    {
        const QSignalBlocker b1(slider), b2(toggle);
        slider->setValue(s->getSetting(group, BaseSettings::DSP_Strength).toInt());
        toggle->setChecked(s->getSetting(group, BaseSettings::Enabled).toBool());
    }
    const auto show = [=] {
        slider->setEnabled(toggle->isChecked());
        value->setText(toggle->isChecked() ? QStringLiteral("%1%").arg(slider->value()) : tr("Off"));
        slider->setAccessibleDescription(value->text());
    };
    show();
    connect(toggle, &QCheckBox::toggled, row, [=](bool on) {
        s->setSetting(group, BaseSettings::Enabled, on);
        show();
    });
    connect(slider, &QSlider::valueChanged, row, [=](int v) {
        s->setSetting(group, BaseSettings::DSP_Strength, v);
        show();
    });
}

void MainWidget::updateSettingsPage()
{
    QVBoxLayout* page = _pages.value(Settings);
    QMap<QString, std::function<bool()>> builders;
    addControlBuilders(builders, Settings);
    builders.insert(QStringLiteral("Settings"), [this, page] {
        addSettingsToggles(page);
        return true;
    });
    builders.insert(QStringLiteral("App Information"), [this, page] {
        addAppInformation(page);
        return true;
    });
    finishPage(page, buildRows(storedOrder(Settings), builders));
}

void MainWidget::addSettingsToggles(QVBoxLayout* page)
{
    BaseSettings* s = settings();
    const Row r =
        newRow(page, QStringLiteral("Settings"), QStringLiteral("Setting_Settings"), QStringLiteral("icon_settings"));
    DraggableFrame* row = r.frame;
    QVBoxLayout* layout = r.layout;
    r.top->addWidget(rowTitle(tr("Settings"), row), 1);

    const auto addToggle = [&](const QString& text, BaseSettings::SubSettings key, auto onChange) {
        auto* line = new QHBoxLayout;
        line->addWidget(textLabel(text, row, 10, 500));
        line->addStretch(1);
        auto* toggle = toggleButton(row, text);
        toggle->setObjectName(QStringLiteral("settings_toggle"));
        const QVariant def = BaseSettings::groupDefaults(BaseSettings::General).value(BaseSettings::keyName(key));
        toggle->setProperty("settings_default_check_value", def);
        {
            const QSignalBlocker block(toggle);
            toggle->setChecked(s ? s->getSetting(BaseSettings::General, key).toBool() : def.toBool());
        }
        connect(toggle, &QCheckBox::toggled, row, onChange);
        line->addWidget(toggle);
        layout->addLayout(line);
    };
    addToggle(tr("Start at login"), BaseSettings::StartAtLogin, [s](bool on) {
        if (s)
            s->setSetting(BaseSettings::General, BaseSettings::StartAtLogin, on);
        if (App* app = App::instance())
            app->setupAppToLauncAtStartup(on);
    });
    addToggle(tr("Mirror preview"), BaseSettings::FlipHorizontal, [this, s](bool on) {
        if (s)
            for (auto group : {BaseSettings::LogoOverlay, BaseSettings::TextOverlay, BaseSettings::General})
                s->setSetting(group, BaseSettings::FlipHorizontal, on);
        _preview->update();
    });
    addToggle(tr("Low power mode"), BaseSettings::LowPowerMode, [this, s](bool on) {
        if (s)
            s->setSetting(BaseSettings::General, BaseSettings::LowPowerMode, on);
        applyLowPowerMode();
    });
}

void MainWidget::addAppInformation(QVBoxLayout* page)
{
    const Row r = newRow(page, QStringLiteral("App Information"), QStringLiteral("Setting_AppInformation"),
                         QStringLiteral("icon_app_info"));
    DraggableFrame* row = r.frame;
    QVBoxLayout* layout = r.layout;
    App* app = App::instance();
    // The title wraps rather than widening the page past the window.
    auto* title = textLabel(app ? app->appTitle() : QString(), row, 10, 600);
    title->setWordWrap(true);
    title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    r.top->addWidget(title, 1);
    auto* buttons = new QHBoxLayout;
    _updateButton = new QPushButton(tr("Check for updates"), row);
    _updateButton->setObjectName(QStringLiteral("update_button"));
    auto* uninstall = new QPushButton(tr("Uninstall"), row);
    uninstall->setObjectName(QStringLiteral("uninstall_button"));
    for (QPushButton* b : {_updateButton, uninstall}) {
        gui::styleTextButton(b, 10, gui::argb(gui::color(2)), gui::argb(gui::color(5)), gui::argb(gui::color(7)), 600,
                             QStringLiteral("4px 10px"));
        b->setEnabled(_c.updates != nullptr);
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    connect(_updateButton, &QPushButton::clicked, this, [this] {
        if (_c.updates && !_c.updates->checkForUpdate(true))
            tell(tr("There is already an update check in progress."));
    });
    connect(uninstall, &QPushButton::clicked, this, [this] {
        App* a = App::instance();
        const QPointer<MainWidget> self(this);
        if (!a || !_c.updates
            || !a->messageBox(tr("Are you sure you want to completely uninstall the application?"), tr("No"), tr("Yes"),
                              QString())
            || !self || !_c.updates)
            return;
        if (!_c.updates->runUninstaller())
            tell(tr("There was an error while trying to uninstall the application.\nPlease try to remove it "
                    "manually."));
    });
}

void MainWidget::setUpdateManager(UpdateManager* updates)
{
    _c.updates = updates;
    for (const char* name : {"update_button", "uninstall_button"})
        if (auto* button = findChild<QPushButton*>(QLatin1String(name)))
            button->setEnabled(updates != nullptr);
}

void MainWidget::updateOverlaysPage()
{
    QVBoxLayout* page = _pages.value(Overlays);
    QMap<QString, std::function<bool()>> builders;
    if (settings()) {
        builders.insert(QStringLiteral("Logo"), [this, page] {
            addOverlayRow(page, BaseSettings::LogoOverlay);
            return true;
        });
        builders.insert(QStringLiteral("Text"), [this, page] {
            addOverlayRow(page, BaseSettings::TextOverlay);
            return true;
        });
    }
    finishPage(page, buildRows(storedOrder(Overlays), builders));
}

void MainWidget::onUpdaterStarted()
{
    qDebug() << "MainWidget::onUpdaterStarted";
    if (_updateButton) {
        _updateButton->setText(tr("Checking for update..."));
        _updateButton->setEnabled(false);
    }
}

void MainWidget::onUpdaterFinished()
{
    qDebug() << "MainWidget::onUpdaterFinished";
    if (_updateButton) {
        _updateButton->setText(tr("Check for update"));
        _updateButton->setEnabled(true);
    }
}

void MainWidget::onDownloadProcessStarted()
{
    qDebug() << "MainWidget::onDownloadProcessStarted";
    onDownloadProgress(0);
}

void MainWidget::onDownloadProgress(float percent)
{
    qDebug() << "MainWidget::onDownloadProgress";
    if (_updateButton) {
        _updateButton->setText(tr("Downloading update") + QStringLiteral(" (%1%)...").arg(int(percent)));
        _updateButton->setEnabled(false);
    }
}

void MainWidget::onDownloadProcessFinished()
{
    qDebug() << "MainWidget::onDownloadProcessFinished";
    onUpdaterFinished();
}

void MainWidget::applyLowPowerMode()
{
    const bool on = lowPowerMode();
    _lowPower->setVisible(on);
    if (on) {
        _spinner->hide();
        if (_c.grabber && _previewRunning) {
            qDebug() << "Stopping preview in low power mode on";
            _c.grabber->stopCamera();
            _previewRunning = false;
        }
        return;
    }
    if (_previewRunning) {
        _spinner->setVisible(_sinceFrame.isValid() && _sinceFrame.elapsed() > 5000);
    } else if (_c.grabber && _cameras->currentIndex() > 0) {
        qDebug() << "Restarting preview from low power mode off ";
        chooseCamera(_cameras->currentIndex());
    }
}

void MainWidget::resetToDefaults()
{
    App* app = App::instance();
    const QPointer<MainWidget> self(this);
    if (!app
        || !app->messageBox(tr("This action will reset all your settings.<br>Press Ok to confirm."), tr("Cancel"),
                            tr("Ok"), QString())
        || !self)
        return;
    for (QVBoxLayout* page : _pages)
        if (page)
            for (QCheckBox* toggle : page->parentWidget()->findChildren<QCheckBox*>(QStringLiteral("toggle_button")))
                toggle->setChecked(toggle->property("settings_default_check_value").toBool());
}

void MainWidget::showPage(Page page)
{
    QVBoxLayout* layout = _pages.value(page);
    if (!layout)
        return;
    if (QAbstractButton* tab = _tabs->button(page); tab && !tab->isChecked()) {
        const QSignalBlocker block(_tabs);
        tab->setChecked(true);
    }
    _stack->setCurrentWidget(layout->parentWidget()->parentWidget()->parentWidget());
    QTimer::singleShot(25, this, [this, layout] {
        int height = layout->property("settings_height").toInt();
        height = std::min(height, screenForPopup()->geometry().height() - 50);
        // On a small screen the page scrolls; the preview, tabs and footer
        // keep their room.
        setFixedHeight(std::max(height, minimumSizeHint().height()));
    });
    QTimer::singleShot(50, this, [this] { updateGeometry(); });
    QTimer::singleShot(75, this, [this] { update(); });
    QTimer::singleShot(100, this, &MainWidget::placeWindow);
}

void MainWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Placed as it appears; a page switch still under way places it again.
    placeWindow();
    if (!_previewRunning && !lowPowerMode())
        chooseCamera(_cameras->currentIndex());
}

void MainWidget::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (_previewRunning)
        chooseCamera(_cameras->currentIndex());
}

void MainWidget::placeWindow()
{
    App* app = App::instance();
    const QRect tray = app ? app->trayWindowGeometry(this) : QRect();
    if (tray.isNull()) {
        const QRect area = screenForPopup()->availableGeometry();
        move(area.bottomRight() - QPoint(width(), height()) + QPoint(1, 1));
        return;
    }
    // Beside the tray icon. The place the application computes already keeps
    // the window clear of the screen's edges and the taskbar; the offset never
    // takes it past them.
    QPoint at = tray.topLeft() + QPoint(20, 20);
    at.setX(std::min(at.x(), tray.right() + 1 - width()));
    at.setY(std::min(at.y(), tray.bottom() + 1 - height()));
    move(at);
}

void MainWidget::addOverlayRow(QVBoxLayout* page, BaseSettings::Settings group)
{
    BaseSettings* s = settings();
    const bool logo = group == BaseSettings::LogoOverlay;
    const QString label = logo ? tr("Logo") : tr("Text");
    const Row r = newRow(page, logo ? QStringLiteral("Logo") : QStringLiteral("Text"),
                         QStringLiteral("Setting_") + BaseSettings::keyName(group),
                         logo ? QStringLiteral("icon_logo") : QStringLiteral("icon_text"));
    DraggableFrame* row = r.frame;
    QVBoxLayout* layout = r.layout;
    auto* toggle = toggleButton(row, label);
    toggle->setProperty("settings_default_check_value", false);
    {
        const QSignalBlocker block(toggle);
        toggle->setChecked(s->getSetting(group, BaseSettings::Enabled).toBool());
    }
    connect(toggle, &QCheckBox::toggled, row, [s, group](bool on) { s->setSetting(group, BaseSettings::Enabled, on); });
    r.top->addWidget(rowTitle(label, row), 1);
    r.top->addWidget(toggle);

    // A slider shows its value at once and stores it as a fraction once the
    // change is complete: on release, or at once for keys and the wheel.
    const auto addSlider = [&](const QString& text, BaseSettings::SubSettings key, int minimum) {
        auto* line = new QHBoxLayout;
        auto* name = textLabel(text, row, 9, 500);
        name->setFixedWidth(70);
        auto* slider = new QSlider(Qt::Horizontal, row);
        slider->setObjectName(text.toLower());
        slider->setRange(minimum, 100);
        slider->setAccessibleName(label + u' ' + text);
        gui::styleSmallSlider(slider, gui::color(7), gui::color(8), gui::color(9));
        auto* value = textLabel(QString(), row, 9, 500);
        value->setFixedWidth(40);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        {
            const QSignalBlocker block(slider);
            slider->setValue(int(std::lround(s->getSetting(group, key).toDouble() * 100)));
        }
        const auto show = [slider, value] {
            value->setText(QStringLiteral("%1%").arg(slider->value()));
            slider->setAccessibleDescription(value->text());
        };
        show();
        const auto store = [s, group, key, slider] { s->setSetting(group, key, slider->value() / 100.0); };
        connect(slider, &QSlider::valueChanged, row, [slider, show, store] {
            show();
            if (!slider->isSliderDown())
                store();
        });
        connect(slider, &QSlider::sliderReleased, row, store);
        line->addWidget(name);
        line->addWidget(slider, 1);
        line->addWidget(value);
        layout->addLayout(line);
    };
    // A 30-pixel framed button showing `iconName`, named for screen readers.
    const auto iconButton = [row](const QString& iconName, const QString& name) {
        auto* button = new QPushButton(row);
        button->setObjectName(iconName);
        button->setAccessibleName(name);
        button->setToolTip(name);
        button->setFixedSize(30, 30);
        gui::styleFramedIconButton(button, iconName, 4, gui::color(2), gui::color(7));
        return button;
    };
    const auto colourButton = [&](const QString& iconName, BaseSettings::SubSettings key, const QString& name) {
        QPushButton* button = iconButton(iconName, name);
        connect(button, &QPushButton::clicked, row, [this, s, group, key, name] {
            const QColor current = s->getSetting(group, key).value<QColor>();
            const QPointer<MainWidget> self(this);
            const QColor chosen =
                QColorDialog::getColor(current, nullptr, tr("Choose a color"), QColorDialog::ShowAlphaChannel);
            // The dialog's own event loop may have outlived this window.
            if (self && chosen.isValid())
                s->setSetting(group, key, chosen);
        });
        return button;
    };

    addSlider(tr("Size"), BaseSettings::Size, 1);
    addSlider(tr("Opacity"), BaseSettings::Opacity, 1);
    addSlider(tr("Horizontal"), BaseSettings::MarginX, 0);
    addSlider(tr("Vertical"), BaseSettings::MarginY, 0);

    auto* tools = new QHBoxLayout;
    if (logo) {
        auto* open = new QPushButton(tr("Choose image"), row);
        open->setObjectName(QStringLiteral("open_image"));
        gui::styleTextButton(open, 9, gui::argb(gui::color(2)), gui::argb(gui::color(5)), gui::argb(gui::color(7)), 600,
                             QStringLiteral("4px 10px"));
        connect(open, &QPushButton::clicked, row, [this, s] {
            const QPointer<MainWidget> self(this);
            const QString path = QFileDialog::getOpenFileName(this, tr("Open Image File"), QString(),
                                                              tr("Image Files (*.png *.jpg *.jpeg *.bmp *.gif)"));
            if (!self || path.isEmpty())
                return;
            storeLogo(s, path);
        });
        tools->addWidget(open);
        tools->addStretch(1);
        tools->addWidget(
            colourButton(QStringLiteral("icon_logo_shadow"), BaseSettings::LogoShadowColor, tr("Logo shadow")));
        layout->addLayout(tools);
        return;
    }

    const auto addLine = [&](BaseSettings::SubSettings key, BaseSettings::SubSettings sizeKey, const QString& text) {
        auto* edit = new QLineEdit(s->getSetting(group, key).toString(), row);
        edit->setObjectName(text);
        edit->setAccessibleName(text);
        edit->setPlaceholderText(text);
        gui::styleTextField(edit, 10, gui::argb(gui::color(2)), gui::argb(gui::color(5)),
                            QStringLiteral("1px solid ") + gui::argb(gui::color(7)), 500);
        connect(edit, &QLineEdit::editingFinished, row,
                [s, group, key, edit] { s->setSetting(group, key, edit->text().trimmed()); });
        layout->addWidget(edit);
        addSlider(tr("Size"), sizeKey, 1);
    };
    addLine(BaseSettings::TextLine1, BaseSettings::Line1Size, tr("Line 1"));
    addLine(BaseSettings::TextLine2, BaseSettings::Line2Size, tr("Line 2"));

    QPushButton* font = iconButton(QStringLiteral("icon_font"), tr("Select Font Family"));
    connect(font, &QPushButton::clicked, row, [this, s, group] {
        const QPointer<MainWidget> self(this);
        // Without a parent: a dialog on the stack must not be deleted with a
        // window that is replaced while the dialog runs.
        FontFamilyWidget chooser;
        chooser.setSelectedFamily(s->getSetting(group, BaseSettings::TextFontFamily).toString());
        if (chooser.exec() == QDialog::Accepted && self && !chooser.selectedFamily().isEmpty())
            s->setSetting(group, BaseSettings::TextFontFamily, chooser.selectedFamily());
    });
    auto* bold = new QPushButton(row);
    bold->setCheckable(true);
    bold->setObjectName(QStringLiteral("icon_bold"));
    bold->setAccessibleName(tr("Bold"));
    gui::styleIconToggle(bold, 20, QStringLiteral("icon_bold"), 4, gui::color(7), gui::color(2));
    bold->setChecked(s->getSetting(group, BaseSettings::TextBold).toBool());
    connect(bold, &QPushButton::toggled, row,
            [s, group](bool on) { s->setSetting(group, BaseSettings::TextBold, on); });
    tools->addWidget(font);
    tools->addWidget(bold);
    tools->addWidget(
        colourButton(QStringLiteral("icon_text_shadow"), BaseSettings::TextShadowColor, tr("Text shadow")));
    tools->addWidget(colourButton(QStringLiteral("icon_text_fill"), BaseSettings::TextFillColor, tr("Text colour")));
    tools->addStretch(1);
    auto* align = new QButtonGroup(row);
    const int current = s->getSetting(group, BaseSettings::TextHAlign).toInt();
    for (const auto& [name, value, text] : {std::tuple {"icon_align_left", int(Qt::AlignLeft), tr("Align left")},
                                            std::tuple {"icon_align_center", int(Qt::AlignHCenter), tr("Align centre")},
                                            std::tuple {"icon_align_right", int(Qt::AlignRight), tr("Align right")}}) {
        auto* button = new QPushButton(row);
        button->setCheckable(true);
        button->setObjectName(QString::fromLatin1(name));
        button->setAccessibleName(text);
        gui::styleIconToggle(button, 20, QString::fromLatin1(name), 4, gui::color(7), gui::color(2));
        button->setChecked(current == value);
        align->addButton(button, value);
        tools->addWidget(button);
    }
    connect(align, &QButtonGroup::idClicked, row,
            [s, group](int value) { s->setSetting(group, BaseSettings::TextHAlign, value); });
    layout->addLayout(tools);
}

void MainWidget::storeLogo(BaseSettings* s, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        tell(tr("Unable to read file!"));
        return;
    }
    const QImage image = QImage::fromData(file.readAll());
    if (image.isNull()) {
        tell(tr("Invalid image data!"));
        return;
    }
    // Stored as PNG: lossless, and read back by the overlay whatever the file was.
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    s->setSetting(BaseSettings::LogoOverlay, BaseSettings::ImageData, png);
}
