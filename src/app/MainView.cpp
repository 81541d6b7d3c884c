#include "app/MainView.h"

#include "app/PortText.h"
#include "ports/PortSet.h"
#include "sequence/SequenceClock.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QPushButton>

static void initialiseResources() {
    Q_INIT_RESOURCE(cadentor);
}

namespace cadentor {

namespace {

// What each push button does, by its name in the form.
const struct {
    const char* button;
    void (*action)(MainView&);
} buttonActions[] = {
    {"load", [](MainView& view) { view.loadSequenceFile(); }},
    {"commandList", [](MainView& view) { view.showCommandList(); }},
    {"exit", [](MainView& view) { view.exitProgram(); }},
    {"automatic", [](MainView& view) { view.run().automaticCommand(); }},
    {"manual", [](MainView& view) { view.run().manualCommand(); }},
    {"initialize", [](MainView& view) { view.initialize(); }},
    {"manualExec", [](MainView& view) { view.run().manualExecute(); }},
    {"resetSeq", [](MainView& view) { view.run().resetSequence(); }},
};

} // namespace

std::optional<std::string> chooseSequenceFile(QWidget* owner) {
    QFileDialog dialog(owner, QString(), QString(), QStringLiteral("Sequence File(*.txt)"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
}

MainView::MainView(ViewServices services, QWidget* parent)
    : QWidget(parent), ports_(services.ports),
      loop_(services.loop ? services.loop : AppMessageLoop::current()),
      chooseFile_(services.chooseFile ? std::move(services.chooseFile) : chooseSequenceFile),
      sequence_(services.ports, services.clock), model_(sequence_),
      form_(buildViewForm(*this, model_)), run_(sequence_, model_, form_, loop_) {
    initialiseResources();
    form_.list->viewport()->installEventFilter(this);
    connectButtons();
}

MainView::~MainView() {
    // The list must not ask the model for cells while the members go.
    form_.list->setModel(nullptr);
}

void MainView::connectButtons() {
    for (const auto& entry : buttonActions) {
        auto* button = findChild<QPushButton*>(QLatin1String(entry.button));
        connect(button, &QPushButton::clicked, this,
                [this, action = entry.action] { action(*this); });
    }
}

void MainView::initView() {
    run_.start();
    model_.setItemCount(0);
    const int width = form_.list->contentsRect().width();
    form_.list->setColumnWidth(0, width / 5);
    form_.list->setColumnWidth(1, width / 5);
    form_.list->setColumnWidth(2, (3 * width) / 5);
    initialize();
    findChild<QWidget*>(QStringLiteral("load"))->setFocus(Qt::OtherFocusReason);
}

// An event's execution is suspended in a message box: its event must stay alive. The box is
// application-modal, so the operator cannot get to the operations that replace the events; the
// checks keep it so for any other path.

void MainView::initialize() {
    if (run_.executing())
        return;
    run_.enterManualMode();
    sequence_.clock().resetToZero();
    run_.updateTimeDisplay();
    ports_.load();
    form_.portInfo->setRawText(portInformationText(ports_));
    sequence_.clearAndReloadCommands();
    setItemCount();
}

void MainView::loadSequenceFile() {
    if (run_.executing())
        return;
    initialize();
    const std::optional<std::string> path = chooseFile_(QApplication::activeWindow());
    if (!path)
        return;
    sequence_.load(*path);
    setItemCount();
}

void MainView::showCommandList() {
    if (run_.executing())
        return;
    sequence_.loadCommandList();
    setItemCount();
}

void MainView::exitProgram() {
    window()->close();
}

void MainView::setItemCount() {
    model_.setItemCount(sequence_.count());
}

bool MainView::dialogKey(QObject* receiver, QKeyEvent* event) {
    auto* widget = qobject_cast<QWidget*>(receiver);
    if (!widget || (widget != this && !isAncestorOf(widget)))
        return false;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
            button->click();
        else
            run_.okCommand(event->modifiers().testFlag(Qt::ShiftModifier));
        return true;
    case Qt::Key_Escape:
        return true;
    default:
        return false;
    }
}

bool MainView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == form_.list->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // The first click of the pair has already moved the selection.
        run_.manualExecute();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace cadentor
