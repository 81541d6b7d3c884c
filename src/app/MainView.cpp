#include "app/MainView.h"

#include "app/FormTemplate.h"
#include "app/TextDecoding.h"
#include "ports/PortSet.h"
#include "sequence/SequenceClock.h"
#include "sequence/SequenceEvent.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimerEvent>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

static void initialiseResources() {
    Q_INIT_RESOURCE(cadentor);
}

namespace cadentor {

namespace {

const char* parityWord(std::uint8_t code) {
    static const char* const words[] = {"NoParity", "Odd", "Even", "Mark", "Space"};
    return code < 5 ? words[code] : "";
}

const char* stopBitsWord(std::uint8_t code) {
    static const char* const words[] = {"1bit", "1.5bits", "2bits"};
    return code < 3 ? words[code] : "";
}

constexpr std::int64_t millisecondNs = 1000000;

QPixmap loadBitmap(int id) {
    return QPixmap(QStringLiteral(":/cadentor/bitmap%1.png").arg(id));
}

// Increments a counter for the lifetime of a scope.
class Depth {
public:
    explicit Depth(int& counter) : counter_(counter) { ++counter_; }
    ~Depth() { --counter_; }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;

private:
    int& counter_;
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

std::string portInformationText(const PortSet& ports) {
    std::string text;
    for (PortId id = 0; id < ports.count(); ++id) {
        const std::string* name = ports.deviceName(id);
        char rate[32];
        std::snprintf(rate, sizeof rate, "%d", static_cast<int>(ports.baudRate(id)));
        text += name ? *name : std::string();
        text += " : ";
        text += rate;
        text += " bps / ";
        text += parityWord(ports.parity(id));
        text += " / ";
        text += stopBitsWord(ports.stopBits(id));
        text += "\r\n";
    }
    return text;
}

std::string timeLabelText(TimeCode t) {
    return "CurrentTime=" + formatTimeCode(t);
}

PortInfoEdit::PortInfoEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFocusPolicy(Qt::StrongFocus);
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void PortInfoEdit::setRawText(const std::string& text) {
    raw_ = text;
    QString shown = decodeLines(text);
    if (shown.endsWith(QLatin1Char('\n')))
        shown.chop(1);
    setPlainText(shown);
}

MainView::MainView(ViewServices services, QWidget* parent)
    : QWidget(parent), ports_(services.ports ? services.ports : &PortSet::instance()),
      clock_(services.clock ? services.clock : &SequenceClock::instance()),
      loop_(services.loop ? services.loop : AppMessageLoop::current()),
      chooseFile_(services.chooseFile ? std::move(services.chooseFile) : chooseSequenceFile),
      sequence_(*ports_, *clock_), model_(sequence_) {
    initialiseResources();
    buildForm();
}

MainView::~MainView() {
    if (blinkTimerId_ != 0) {
        blink_.stop();
        blinkTimerId_ = 0;
    }
    if (idleRegistered_ && loop_)
        loop_->removeIdleHandler(this);
    // The list must not ask the model for cells while the members go.
    if (list_)
        list_->setModel(nullptr);
}

void MainView::buildForm() {
    const QFont font = formFont();
    setFont(font);
    const DialogBaseUnits base = dialogBaseUnits(font);
    resize(unitsToPixels(formUnits, base));

    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& entry : formControls()) {
        const QString text = QString::fromUtf8(entry.text);
        QWidget* widget = nullptr;
        switch (entry.kind) {
        case ControlKind::StaticText: {
            auto* label = new QLabel(text, this);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setTextFormat(Qt::PlainText);
            widget = label;
            if (entry.id == ControlId::TimeLabel)
                timeLabel_ = label;
            break;
        }
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, this);
            button->setAutoDefault(false);
            button->setDefault(false);
            button->setFocusPolicy(Qt::StrongFocus);
            const int id = entry.id;
            connect(button, &QPushButton::clicked, this, [this, id] {
                switch (id) {
                case ControlId::Initialize:
                    initialize();
                    break;
                case ControlId::Load:
                    loadSequenceFile();
                    break;
                case ControlId::Exit:
                    exitProgram();
                    break;
                case ControlId::Manual:
                    manualCommand();
                    break;
                case ControlId::Automatic:
                    automaticCommand();
                    break;
                case ControlId::ResetSeq:
                    resetSequence();
                    break;
                case ControlId::ManualExec:
                    manualExecute();
                    break;
                case ControlId::CommandList:
                    showCommandList();
                    break;
                default:
                    break;
                }
            });
            widget = button;
            break;
        }
        case ControlKind::Picture:
            picture_ = new QLabel(this);
            picture_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            picture_->setScaledContents(false);
            widget = picture_;
            break;
        case ControlKind::Edit:
            portInfo_ = new PortInfoEdit(this);
            widget = portInfo_;
            break;
        case ControlKind::ListView: {
            list_ = new QTableView(this);
            list_->setModel(&model_);
            list_->setSelectionMode(QAbstractItemView::SingleSelection);
            list_->setSelectionBehavior(QAbstractItemView::SelectRows);
            list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
            list_->setTabKeyNavigation(false);
            list_->setSortingEnabled(false);
            list_->setShowGrid(false);
            list_->setWordWrap(false);
            list_->setCornerButtonEnabled(false);
            list_->verticalHeader()->hide();
            list_->horizontalHeader()->setSectionsClickable(false);
            list_->horizontalHeader()->setHighlightSections(false);
            list_->horizontalHeader()->setStretchLastSection(false);
            list_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
            list_->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 4);
            list_->setFocusPolicy(Qt::StrongFocus);
            list_->viewport()->installEventFilter(this);
            widget = list_;
            break;
        }
        case ControlKind::CheckBox:
            skipError_ = new QCheckBox(text, this);
            skipError_->setChecked(false);
            skipError_->setFocusPolicy(Qt::StrongFocus);
            widget = skipError_;
            break;
        }
        widget->setObjectName(entry.id ? QString::number(entry.id) : QStringLiteral("title"));
        widget->setProperty("controlId", entry.id);
        widget->setGeometry(unitsToPixels(entry.units, base));
        if (!entry.tabStop) {
            widget->setFocusPolicy(Qt::NoFocus);
        } else {
            if (previousTabStop)
                setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
    }
}

QWidget* MainView::control(int id) const {
    return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

void MainView::initView() {
    automaticPicture_ = loadBitmap(Bitmap::Automatic);
    manualPictures_[0] = loadBitmap(Bitmap::Manual);
    manualPictures_[1] = loadBitmap(Bitmap::ManualBlink);
    enterManualMode();
    updateTimeDisplay();
    model_.setItemCount(0);

    const int width = list_->contentsRect().width();
    list_->setColumnWidth(0, width / 5);
    list_->setColumnWidth(1, width / 5);
    list_->setColumnWidth(2, (3 * width) / 5);

    if (loop_ && !idleRegistered_) {
        loop_->addIdleHandler(this);
        idleRegistered_ = true;
    }
    initialize();
    if (QWidget* load = control(ControlId::Load))
        load->setFocus(Qt::OtherFocusReason);
}

bool MainView::replacingAllowed() const {
    // An event's execution is suspended in a message box: its event must stay alive. The box is
    // application-modal, so the operator cannot get here; this keeps it so for any other path.
    return executing_ == 0;
}

void MainView::initialize() {
    if (!replacingAllowed())
        return;
    enterManualMode();
    clock_->resetToZero();
    updateTimeDisplay();
    ports_->load();
    portInfo_->setRawText(portInformationText(*ports_));
    sequence_.clearAndReloadCommands();
    setItemCount();
}

void MainView::loadSequenceFile() {
    if (!replacingAllowed())
        return;
    initialize();
    std::optional<std::string> path = chooseFile_(QApplication::activeWindow());
    if (!path)
        return;
    sequence_.load(*path);
    setItemCount();
}

void MainView::showCommandList() {
    if (!replacingAllowed())
        return;
    sequence_.loadCommandList();
    setItemCount();
}

void MainView::exitProgram() {
    QMetaObject::invokeMethod(window(), &QWidget::close, Qt::QueuedConnection);
}

void MainView::setItemCount() {
    model_.setItemCount(sequence_.count());
}

void MainView::updateTimeDisplay() {
    timeLabel_->setText(QString::fromStdString(timeLabelText(clock_->elapsed())));
}

void MainView::showCurrentEvent() {
    selectCurrentEvent();
    list_->viewport()->update();
}

void MainView::showExecutedRows(int first, int last) {
    selectCurrentEvent();
    model_.refreshRows(first, last);
}

void MainView::selectCurrentEvent() {
    QItemSelectionModel* selection = list_->selectionModel();
    selection->clear();
    const int row = sequence_.currentIndex();
    if (row >= 0 && row < model_.rowCount()) {
        const QModelIndex index = model_.index(row, 0);
        selection->setCurrentIndex(index,
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        list_->scrollTo(index, QAbstractItemView::EnsureVisible);
    }
}

void MainView::setModePicture(int bitmapId) {
    const QPixmap& pixmap = bitmapId == Bitmap::Automatic     ? automaticPicture_
                            : bitmapId == Bitmap::ManualBlink ? manualPictures_[1]
                                                              : manualPictures_[0];
    picture_->setPixmap(pixmap);
    shownBitmap_ = bitmapId;
    picture_->setProperty("bitmapId", bitmapId);
}

void MainView::onBlinkTimer(int timerId) {
    if (timerId != BlinkTimerId || blinkTimerId_ == 0)
        return;
    blinkIndex_ = (blinkIndex_ + 1) % 2;
    setModePicture(blinkIndex_ == 0 ? Bitmap::Manual : Bitmap::ManualBlink);
}

void MainView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == blink_.timerId()) {
        onBlinkTimer(BlinkTimerId);
        return;
    }
    QWidget::timerEvent(event);
}

void MainView::enterAutomaticMode() {
    if (blinkTimerId_ != 0) {
        blink_.stop();
        blinkTimerId_ = 0;
    }
    setModePicture(Bitmap::Automatic);
}

void MainView::enterManualMode() {
    clock_->pause();
    if (blinkTimerId_ == 0) {
        blink_.start(BlinkPeriodMs, this);
        if (blink_.isActive())
            blinkTimerId_ = BlinkTimerId;
    }
    setModePicture(Bitmap::Manual);
}

void MainView::automaticCommand() {
    enterAutomaticMode();
    clock_->resume();
}

void MainView::manualCommand() {
    enterManualMode();
    clock_->pause();
}

void MainView::okCommand(bool shiftDown) {
    if (shiftDown)
        automaticCommand();
    else
        manualExecute();
}

void MainView::onIdle() {
    if (clock_->isPaused()) {
        if (loop_)
            loop_->cancelWake();
        return;
    }
    // When the next event falls due within the millisecond that the pass would wait anyway,
    // the pass sleeps until that instant and runs it at once, so that repaints waiting in the
    // queue cannot make it late. A few such rounds at most, then the queue is served.
    constexpr int rounds = 4;
    for (int round = 1;; ++round) {
        runDueEvents();
        updateTimeDisplay();
        if (round == rounds || clock_->isPaused())
            break;
        const std::optional<std::int64_t> due = nextDueInstant();
        if (!due || *due - monotonicNanoseconds() > millisecondNs)
            break;
        sleepUntil(*due);
    }
    scheduleNextPass();
}

void MainView::runDueEvents() {
    const int before = sequence_.currentIndex();
    RunOutcome outcome;
    {
        Depth depth(executing_);
        outcome = sequence_.runDue();
    }
    switch (outcome) {
    case RunOutcome::Executed:
        showExecutedRows(before + 1, sequence_.currentIndex());
        break;
    case RunOutcome::Failed:
        list_->viewport()->update();
        if (skipError_->isChecked())
            sequence_.skipCurrent();
        else
            enterManualMode();
        break;
    case RunOutcome::Finished:
        list_->viewport()->update();
        enterManualMode();
        showCurrentEvent();
        break;
    case RunOutcome::NothingDue:
        break;
    }
}

std::optional<std::int64_t> MainView::nextDueInstant() const {
    // The clock counts whole milliseconds of CLOCK_MONOTONIC, so an event due at reading R is
    // due from the start of millisecond R.
    const std::optional<TimeCode> due = sequence_.nextDueTime();
    if (!due)
        return std::nullopt;
    const std::int64_t now = monotonicNanoseconds();
    const auto ahead = static_cast<std::int32_t>(clock_->readingAt(*due) - clock_->now());
    return (now / millisecondNs + ahead) * millisecondNs;
}

void MainView::sleepUntil(std::int64_t monotonicNs) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(monotonicNs / 1000000000);
    until.tv_nsec = static_cast<long>(monotonicNs % 1000000000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void MainView::scheduleNextPass() {
    if (!loop_)
        return;
    if (clock_->isPaused()) {
        loop_->cancelWake();
        return;
    }
    // The next pass comes within a millisecond, or at the instant the next event falls due if
    // that is sooner.
    std::int64_t deadline = monotonicNanoseconds() + millisecondNs;
    if (const std::optional<std::int64_t> due = nextDueInstant())
        deadline = std::min(deadline, *due);
    loop_->wakeAt(deadline);
}

int MainView::selectedRow() const {
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    int first = -1;
    for (const QModelIndex& index : rows)
        if (first < 0 || index.row() < first)
            first = index.row();
    return first;
}

bool MainView::manualExecute() {
    if (blinkTimerId_ == 0)
        enterManualMode();
    const int row = selectedRow();
    if (row < 0 || row >= sequence_.count())
        return false;
    bool executed;
    {
        Depth depth(executing_);
        executed = sequence_.executeAt(row);
    }
    list_->viewport()->update();
    updateTimeDisplay();
    return executed;
}

void MainView::resetSequence() {
    enterManualMode();
    clock_->resetToZero();
    sequence_.rewind();
    showCurrentEvent();
    updateTimeDisplay();
}

std::string MainView::portInformation() const {
    return portInfo_->rawText();
}

bool MainView::isDialogMessage(QObject* receiver, QKeyEvent* event) {
    auto* widget = qobject_cast<QWidget*>(receiver);
    if (!widget || (widget != this && !isAncestorOf(widget)))
        return false;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
            button->click();
        else
            okCommand(event->modifiers().testFlag(Qt::ShiftModifier));
        return true;
    case Qt::Key_Escape:
        return true;
    default:
        return false;
    }
}

bool MainView::eventFilter(QObject* watched, QEvent* event) {
    if (list_ && watched == list_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // The first click of the pair has already moved the selection.
        manualExecute();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace cadentor
