#include "ui/OnboardingView.h"

#include "ui/Style.h"
#include "ui/Symbols.h"
#include "ui/Widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>

namespace orvane {

// ---- StepRow

class StepRow::Badge : public QWidget {
  public:
    explicit Badge(int number) : number_(number) { setFixedSize(28, 28); }
    void setDone(bool done) {
        if (done_ == done) return;
        done_ = done;
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor circle = done_ ? style::green : palette().color(QPalette::WindowText);
        if (!done_) circle.setAlphaF(0.2f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(circle);
        painter.drawEllipse(rect());
        if (done_) {
            const QPixmap check = symbolPixmap("checkmark", 15, devicePixelRatioF(), QColor(Qt::white));
            painter.drawPixmap(QPointF((width() - 15) / 2.0, (height() - 15) / 2.0), check);
        } else {
            painter.setPen(palette().color(QPalette::WindowText));
            painter.setFont(style::font(13, QFont::DemiBold));
            painter.drawText(rect(), Qt::AlignCenter, QString::number(number_));
        }
    }

  private:
    int number_;
    bool done_ = false;
};

StepRow::StepRow(int number, QPushButton* action, QWidget* parent) : QWidget(parent), action_(action) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(14);
    badge_ = new Badge(number);
    row->addWidget(badge_, 0, Qt::AlignTop);
    auto* text = new QVBoxLayout;
    text->setSpacing(4);
    title_ = new QLabel;
    QFont headline = title_->font();
    headline.setBold(true);
    title_->setFont(headline);
    detail_ = new QLabel;
    detail_->setWordWrap(true);
    detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    makeSecondary(detail_, 0.95);
    text->addWidget(title_);
    text->addWidget(detail_);
    row->addLayout(text, 1);
    row->addSpacing(12);
    row->addWidget(action_, 0, Qt::AlignTop);
}

void StepRow::set(const QString& title, const QString& detail, bool done) {
    done_ = done;
    badge_->setDone(done);
    title_->setText(title);
    detail_->setText(detail);
    action_->setVisible(!done);
}

QString StepRow::title() const {
    return title_->text();
}

QString StepRow::detail() const {
    return detail_->text();
}

// ---- OnboardingView

bool isWaylandSession() {
    if (const char* type = std::getenv("XDG_SESSION_TYPE"); type && *type)
        return std::string(type) == "wayland";
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland && *wayland;
}

OnboardingView::OnboardingView(Engine& engine, std::function<void()> calibrate, bool waylandSession,
                               QWidget* parent)
    : QWidget(parent), engine_(engine), calibrate_(std::move(calibrate)), waylandSession_(waylandSession) {
    setFixedWidth(520);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(20);

    auto* header = new QVBoxLayout;
    header->setSpacing(6);
    auto* headline = new QLabel(tr("Look at a screen. Start typing."));
    headline->setFont(style::font(22, QFont::DemiBold));
    auto* intro =
        new QLabel(tr("Orvane uses your camera to notice which screen you're facing and moves keyboard "
                      "focus there. Video never leaves this computer and is never saved."));
    intro->setWordWrap(true);
    makeSecondary(intro);
    header->addWidget(headline);
    header->addWidget(intro);
    column->addLayout(header);

    // Nothing on Linux asks the user for access: both buttons look again, as the engine also does every
    // second.
    auto* checkCamera = new QPushButton(tr("Check Again"));
    connect(checkCamera, &QPushButton::clicked, this, [this] { engine_.requestCamera(); });
    auto* checkWindows = new QPushButton(tr("Check Again"));
    connect(checkWindows, &QPushButton::clicked, this, [this] { engine_.refreshPermissions(); });
    auto* start = new QPushButton(tr("Start Calibration"));
    start->setDefault(true);
    start->setAutoDefault(true);
    connect(start, &QPushButton::clicked, this, [this] {
        if (calibrate_) calibrate_();
    });
    camera_ = new StepRow(1, checkCamera);
    windowControl_ = new StepRow(2, checkWindows);
    calibration_ = new StepRow(3, start);
    column->addWidget(camera_);
    column->addWidget(windowControl_);
    column->addWidget(calibration_);
    column->addStretch();

    subscription_ = engine_.subscribe([this] { refresh_.request(); });
    refresh();
}

void OnboardingView::refresh() {
    const bool cameraAllowed = engine_.cameraPermission() == CameraAuthorization::authorized;
    camera_->set(tr("Allow camera access"),
                 cameraAllowed || engine_.cameraPermission() == CameraAuthorization::notDetermined
                     ? tr("Frames are analyzed in memory on this computer, then discarded. The camera light "
                          "stays on while tracking.")
                     : tr("Your user may not open the camera. Add it to the “video” group (sudo usermod -aG "
                          "video $USER), then log out and back in."),
                 cameraAllowed);

    const bool windowControl = engine_.accessibilityTrusted();
    QString windowDetail =
        tr("Needed to bring the window you look at to the front. Orvane never reads window "
           "contents.");
    if (!windowControl)
        windowDetail = waylandSession_
                           ? tr("Orvane runs here through XWayland and cannot focus other programs' windows "
                                "yet. Choose an X11 session (such as “GNOME on Xorg”) on the login screen.")
                           : tr("Orvane needs an X11 session whose window manager lets programs focus "
                                "windows (EWMH).");
    windowControl_->set(tr("Allow window control"), windowDetail, windowControl);

    const bool twoDisplays = engine_.displays().size() >= 2;
    calibration_->set(tr("Calibrate your screens"),
                      twoDisplays ? tr("Follow a dot for about 20 seconds per screen.")
                                  : tr("Connect a second display to switch between screens."),
                      engine_.profile().has_value());
    calibration_->action()->setEnabled(cameraAllowed && windowControl && twoDisplays);
}

} // namespace orvane
