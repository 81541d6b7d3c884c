#include "app/MainFrame.h"

#include "messages/Messages.h"
#include "sequence/SequenceClock.h"

#include <QCloseEvent>
#include <QIcon>
#include <QMenuBar>

namespace cadentor {

MainFrame::MainFrame(ViewServices services)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      loop_(services.loop ? services.loop : AppMessageLoop::current()) {
    services.loop = loop_;
    setWindowTitle(QString::fromStdString(loadMessage(MessageId::AppTitle)));
    view_ = new MainView(std::move(services), this);
    // Every size the menu's icon comes in, so that no window manager scales one.
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/cadentor/icon106-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    setAttribute(Qt::WA_DeleteOnClose, false);

    view_->initView();
    const QSize client(view_->width(), view_->height() + menuBarHeight());
    setFixedSize(client);
    view_->move(0, 0);
    if (loop_)
        loop_->installKeyFilter(this);
}

MainFrame::~MainFrame() {
    if (loop_)
        loop_->removeKeyFilter(this);
}

int MainFrame::menuBarHeight() {
    QMenuBar bar;
    bar.addMenu(QStringLiteral("&File"));
    return bar.sizeHint().height();
}

bool MainFrame::keyFilter(QObject* watched, QKeyEvent* event) {
    return view_->dialogKey(watched, event);
}

bool MainFrame::event(QEvent* event) {
    if (event->type() != QEvent::UpdateRequest)
        return QWidget::event(event);
    // The whole window is painted here.
    const std::int64_t started = monotonicNanoseconds();
    const bool handled = QWidget::event(event);
    view_->run().noteRepaint(monotonicNanoseconds() - started);
    return handled;
}

void MainFrame::resizeEvent(QResizeEvent* event) {
    if (!isMinimized()) {
        // The view covers the whole client area; the strip below the form shows its background.
        view_->setGeometry(rect());
    }
    QWidget::resizeEvent(event);
}

void MainFrame::closeEvent(QCloseEvent* event) {
    event->accept();
    if (loop_)
        loop_->quit(1);
}

void MainFrame::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    QWidget* last = view_->focusWidget();
    if (last && last != view_)
        last->setFocus(Qt::OtherFocusReason);
    else
        view_->setFocus(Qt::OtherFocusReason);
}

} // namespace cadentor
