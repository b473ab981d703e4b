#include "ui/SettingsView.h"

#include "ui/Widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <cmath>

namespace orvane {

namespace {

constexpr int steps = 1000;

QGroupBox* section(const QString& title, QVBoxLayout* into) {
    auto* box = new QGroupBox(title);
    auto* layout = new QVBoxLayout(box);
    layout->setSpacing(10);
    into->addWidget(box);
    return box;
}

QVBoxLayout* rowsOf(QGroupBox* box) {
    return static_cast<QVBoxLayout*>(box->layout());
}

} // namespace

QString millisecondsText(double seconds) {
    return QString::number(std::llround(seconds * 1000)) + " ms";
}

QString percentText(double share) {
    return QString::number(std::llround(share * 100)) + "%";
}

QString secondsText(double seconds) {
    return QString::asprintf("%.1f s", seconds);
}

// ---- LabeledSlider

LabeledSlider::LabeledSlider(const QString& title, double minimum, double maximum,
                             std::function<QString(double)> format, QWidget* parent)
    : QWidget(parent), minimum_(minimum), maximum_(maximum), value_(minimum), format_(std::move(format)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* line = new QHBoxLayout;
    auto* titleLabel = new QLabel(title);
    valueLabel_ = new QLabel;
    makeSecondary(valueLabel_);
    valueLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // Digits of equal width, so the text does not jitter while the slider moves.
    QFont digits = valueLabel_->font();
    digits.setStyleHint(QFont::Monospace);
    digits.setFamily(QStringLiteral("DejaVu Sans Mono"));
    valueLabel_->setFont(digits);
    line->addWidget(titleLabel);
    line->addStretch();
    line->addWidget(valueLabel_);
    column->addLayout(line);
    slider_ = new QSlider(Qt::Horizontal);
    slider_->setRange(0, steps);
    slider_->setAccessibleName(title);
    column->addWidget(slider_);
    connect(slider_, &QSlider::valueChanged, this, [this](int position) {
        value_ = minimum_ + (maximum_ - minimum_) * position / steps;
        valueLabel_->setText(valueText());
        emit valueChanged(value_);
    });
    valueLabel_->setText(valueText());
}

void LabeledSlider::setValue(double value) {
    value_ = std::clamp(value, minimum_, maximum_);
    const QSignalBlocker quiet(slider_);
    slider_->setValue(int(std::lround((value_ - minimum_) / (maximum_ - minimum_) * steps)));
    valueLabel_->setText(valueText());
}

QString LabeledSlider::valueText() const {
    return format_(value_);
}

// ---- SettingsView

SettingsView::SettingsView(Engine& engine, Camera& camera, Autostart& autostart,
                           std::function<void()> recalibrate, std::function<void()> showCalibrationMap,
                           QWidget* parent)
    : QWidget(parent), engine_(engine), settings_(engine.settings()), camera_(camera), autostart_(autostart),
      recalibrate_(std::move(recalibrate)), showCalibrationMap_(std::move(showCalibrationMap)) {
    setFixedWidth(480);
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(20, 20, 20, 20);
    form->setSpacing(14);

    auto* switching = section(tr("Switching screens"), form);
    switchDelay_ = new LabeledSlider(tr("Delay before switching"), 0.1, 1.0, millisecondsText);
    turnSensitivity_ = new LabeledSlider(tr("Head turn needed"), 0.0, 1.0, percentText);
    movePointer_ = new QCheckBox(tr("Bring the pointer along"));
    flashFocus_ = new QCheckBox(tr("Flash the window that gets focus"));
    for (QWidget* control : {static_cast<QWidget*>(switchDelay_), static_cast<QWidget*>(turnSensitivity_),
                             static_cast<QWidget*>(movePointer_), static_cast<QWidget*>(flashFocus_)})
        rowsOf(switching)->addWidget(control);

    auto* outOfTheWay = section(tr("Stay out of the way"), form);
    typingPause_ = new LabeledSlider(tr("Wait after typing"), 0.3, 3.0, secondsText);
    pointerPause_ = new LabeledSlider(tr("Wait after using the mouse"), 0.5, 3.0, secondsText);
    rowsOf(outOfTheWay)->addWidget(typingPause_);
    rowsOf(outOfTheWay)->addWidget(pointerPause_);

    auto* calibration = section(tr("Camera & calibration").replace("&", "&&"), form);
    auto* cameraRow = new QHBoxLayout;
    auto* cameraLabel = new QLabel(tr("Camera"));
    cameraPicker_ = new QComboBox;
    cameraPicker_->setAccessibleName(tr("Camera"));
    cameraPicker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cameraPicker_->setMinimumContentsLength(18);
    cameraLabel->setBuddy(cameraPicker_);
    cameraRow->addWidget(cameraLabel);
    cameraRow->addWidget(cameraPicker_, 1);
    rowsOf(calibration)->addLayout(cameraRow);
    learnFromClicks_ = new QCheckBox(tr("Keep learning from my clicks"));
    rowsOf(calibration)->addWidget(learnFromClicks_);
    auto* buttons = new QHBoxLayout;
    recalibrateButton_ = new QPushButton(tr("Recalibrate…"));
    forgetButton_ = new QPushButton(tr("Forget learned adjustments"));
    learnedSamples_ = new QLabel;
    makeSecondary(learnedSamples_, 0.9);
    buttons->addWidget(recalibrateButton_);
    buttons->addWidget(forgetButton_);
    buttons->addStretch();
    buttons->addWidget(learnedSamples_);
    rowsOf(calibration)->addLayout(buttons);
    mapButton_ = new QPushButton(tr("Show Calibration Map…"));
    auto* mapRow = new QHBoxLayout;
    mapRow->addWidget(mapButton_);
    mapRow->addStretch();
    rowsOf(calibration)->addLayout(mapRow);
    auto* footer = new QLabel(tr("Clicks teach the app where you look as you change posture or move your "
                                 "screens. Changing the camera requires recalibration."));
    footer->setWordWrap(true);
    makeSecondary(footer, 0.9);
    form->addWidget(footer);

    auto* general = section(tr("General"), form);
    launchAtLogin_ = new QCheckBox(tr("Open at login"));
    rowsOf(general)->addWidget(launchAtLogin_);
    auto* hotKeyRow = new QHBoxLayout;
    auto* hotKey = new QLabel(hotKeyText());
    makeSecondary(hotKey);
    hotKeyRow->addWidget(new QLabel(tr("Pause / resume")));
    hotKeyRow->addStretch();
    hotKeyRow->addWidget(hotKey);
    rowsOf(general)->addLayout(hotKeyRow);
    showHUD_ = new QCheckBox(tr("Show tracking overlay"));
    diagnostics_ = new QCheckBox(tr("Write diagnostics log (numbers only)"));
    rowsOf(general)->addWidget(showHUD_);
    rowsOf(general)->addWidget(diagnostics_);

    connect(switchDelay_, &LabeledSlider::valueChanged, this,
            [this](double v) { settings_.setSwitchDelay(v); });
    connect(turnSensitivity_, &LabeledSlider::valueChanged, this,
            [this](double v) { settings_.setTurnSensitivity(v); });
    connect(typingPause_, &LabeledSlider::valueChanged, this,
            [this](double v) { settings_.setTypingPause(v); });
    connect(pointerPause_, &LabeledSlider::valueChanged, this,
            [this](double v) { settings_.setPointerPause(v); });
    connect(movePointer_, &QCheckBox::toggled, this, [this](bool on) { settings_.setMovePointer(on); });
    connect(flashFocus_, &QCheckBox::toggled, this, [this](bool on) { settings_.setFlashFocus(on); });
    connect(learnFromClicks_, &QCheckBox::toggled, this,
            [this](bool on) { settings_.setLearnFromClicks(on); });
    connect(showHUD_, &QCheckBox::toggled, this, [this](bool on) { settings_.setShowHUD(on); });
    connect(diagnostics_, &QCheckBox::toggled, this, [this](bool on) { settings_.setDiagnostics(on); });
    connect(launchAtLogin_, &QCheckBox::toggled, this, [this](bool on) { setLaunchAtLogin(on); });
    connect(cameraPicker_, &QComboBox::activated, this, [this](int index) {
        const QVariant id = cameraPicker_->itemData(index);
        settings_.setCameraID(id.isValid() ? std::optional(id.toString().toStdString()) : std::nullopt);
    });
    connect(recalibrateButton_, &QPushButton::clicked, this, [this] {
        if (recalibrate_) recalibrate_();
    });
    connect(forgetButton_, &QPushButton::clicked, this, [this] { engine_.resetLearning(); });
    connect(mapButton_, &QPushButton::clicked, this, [this] {
        if (showCalibrationMap_) showCalibrationMap_();
    });

    engineSubscription_ = engine_.subscribe([this] { refresh_.request(); });
    settingsSubscription_ = settings_.subscribe([this] { refresh_.request(); });
    {
        const QSignalBlocker quiet(launchAtLogin_);
        launchAtLogin_->setChecked(autostart_.isRegistered());
    }
    reloadCameras();
}

void SettingsView::showEvent(QShowEvent* event) {
    // A camera plugged in meanwhile shows up.
    reloadCameras();
    QWidget::showEvent(event);
}

void SettingsView::reloadCameras() {
    cameras_ = camera_.availableCameras();
    const QSignalBlocker quiet(cameraPicker_);
    cameraPicker_->clear();
    cameraPicker_->addItem(tr("Automatic (built-in)"));
    for (const CameraInfo& info : cameras_)
        cameraPicker_->addItem(QString::fromStdString(info.name), QString::fromStdString(info.id));
    refresh();
}

void SettingsView::refresh() {
    switchDelay_->setValue(settings_.switchDelay());
    turnSensitivity_->setValue(settings_.turnSensitivity());
    typingPause_->setValue(settings_.typingPause());
    pointerPause_->setValue(settings_.pointerPause());
    const auto check = [](QCheckBox* box, bool on) {
        const QSignalBlocker quiet(box);
        box->setChecked(on);
    };
    check(movePointer_, settings_.movePointer());
    check(flashFocus_, settings_.flashFocus());
    check(learnFromClicks_, settings_.learnFromClicks());
    check(showHUD_, settings_.showHUD());
    check(diagnostics_, settings_.diagnostics());
    {
        // A stored camera that is not connected matches no entry.
        const QSignalBlocker quiet(cameraPicker_);
        const auto& id = settings_.cameraID();
        cameraPicker_->setCurrentIndex(id ? cameraPicker_->findData(QString::fromStdString(*id)) : 0);
    }
    const auto& profile = engine_.profile();
    forgetButton_->setEnabled(profile && !profile->clickSamples.empty());
    mapButton_->setEnabled(profile.has_value());
    learnedSamples_->setVisible(profile.has_value());
    if (profile)
        learnedSamples_->setText(tr("%1 learned samples").arg(qlonglong(profile->clickSamples.size())));
}

void SettingsView::setLaunchAtLogin(bool enabled) {
    if (autostart_.setRegistered(enabled)) return;
    // Show the real state after a failure.
    const QSignalBlocker quiet(launchAtLogin_);
    launchAtLogin_->setChecked(autostart_.isRegistered());
}

} // namespace orvane
