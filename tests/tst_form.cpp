// The generated form on a bare QMainWindow: the widget tree, its texts, its layout and
// the states it leaves behind before the window class adds any behaviour.

#include "ui_mainwindow.h"

#include <QStatusBar>
#include <QTest>
#include <QTranslator>

namespace {

// Every object member of the form, by member name.
QHash<QString, QObject *> formMembers(const Ui_MainWindow &ui)
{
#define MEMBER(m) { QStringLiteral(#m), ui.m }
    return {
        MEMBER(centralwidget), MEMBER(verticalLayout), MEMBER(groupBox), MEMBER(verticalLayout_2),
        MEMBER(radio_vulkan), MEMBER(radio_d3d12), MEMBER(radio_opengl3), MEMBER(radio_angle),
        MEMBER(groupBox_2), MEMBER(gridLayout), MEMBER(pb_version), MEMBER(label),
        MEMBER(label_2), MEMBER(pb_subscription), MEMBER(pb_settings), MEMBER(label_3),
        MEMBER(pb_start),
    };
#undef MEMBER
}

QStringList objectNames(const QList<QObject *> &objects)
{
    QStringList names;
    for (const QObject *object : objects)
        names.append(object->objectName());
    return names;
}

// The visible text of a form object: a window's title, a group box's title, or the
// text of a button or label.
QString shownText(const QObject *object)
{
    if (auto window = qobject_cast<const QMainWindow *>(object))
        return window->windowTitle();
    if (auto box = qobject_cast<const QGroupBox *>(object))
        return box->title();
    if (auto button = qobject_cast<const QAbstractButton *>(object))
        return button->text();
    if (auto label = qobject_cast<const QLabel *>(object))
        return label->text();
    return QStringLiteral("<no text>");
}

// Marks every text with the context it was looked up in, so that a text that does not
// pass through translation, or does so in another context, shows up unmarked.
class MarkingTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        if (disambiguation || n != -1)
            return QString();
        return QString::fromLatin1(context) + u'|' + QString::fromUtf8(sourceText);
    }
};

} // namespace

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void tree_data();
    void tree();
    void creationOrder();
    void layoutItems();
    void texts_data();
    void texts();
    void onlyTheLongLabelWraps();
    void focusChainFollowsCreation();
    void nothingCheckedEverythingEnabled();
    void windowName_data();
    void windowName();
    void designSizeAndPolicy_data();
    void designSizeAndPolicy();
    void spacer();
    void spareHeightGoesBelowStartButton();
};

void TestForm::tree_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QString>("layoutName"); // for a layout: the widget it is installed on
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");

    QTest::newRow("centralwidget") << "QWidget" << "MainWindow" << "" << -1 << -1;
    QTest::newRow("verticalLayout") << "QVBoxLayout" << "centralwidget" << "centralwidget" << -1 << -1;
    QTest::newRow("groupBox") << "QGroupBox" << "centralwidget" << "verticalLayout" << 0 << 0;
    QTest::newRow("verticalLayout_2") << "QVBoxLayout" << "groupBox" << "groupBox" << -1 << -1;
    QTest::newRow("radio_vulkan") << "QRadioButton" << "groupBox" << "verticalLayout_2" << 0 << 0;
    QTest::newRow("radio_d3d12") << "QRadioButton" << "groupBox" << "verticalLayout_2" << 1 << 0;
    QTest::newRow("radio_opengl3") << "QRadioButton" << "groupBox" << "verticalLayout_2" << 2 << 0;
    QTest::newRow("radio_angle") << "QRadioButton" << "groupBox" << "verticalLayout_2" << 3 << 0;
    QTest::newRow("groupBox_2") << "QGroupBox" << "centralwidget" << "verticalLayout" << 1 << 0;
    QTest::newRow("gridLayout") << "QGridLayout" << "groupBox_2" << "groupBox_2" << -1 << -1;
    QTest::newRow("pb_version") << "QPushButton" << "groupBox_2" << "gridLayout" << 1 << 0;
    QTest::newRow("label") << "QLabel" << "groupBox_2" << "gridLayout" << 1 << 1;
    QTest::newRow("label_2") << "QLabel" << "groupBox_2" << "gridLayout" << 2 << 1;
    QTest::newRow("pb_subscription") << "QPushButton" << "groupBox_2" << "gridLayout" << 2 << 0;
    QTest::newRow("pb_settings") << "QPushButton" << "groupBox_2" << "gridLayout" << 0 << 0;
    QTest::newRow("label_3") << "QLabel" << "groupBox_2" << "gridLayout" << 0 << 1;
    QTest::newRow("pb_start") << "QPushButton" << "centralwidget" << "verticalLayout" << 2 << 0;
}

void TestForm::tree()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QString, layoutName);
    QFETCH(int, row);
    QFETCH(int, column);

    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    const QHash<QString, QObject *> members = formMembers(ui);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QObject *object = members.value(name);
    QVERIFY(object);

    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->objectName(), name);
    QVERIFY(object->parent());
    QCOMPARE(object->parent()->objectName(), parentName);
    QCOMPARE(window.findChild<QObject *>(name), object); // the name is unique in the window

    if (auto layout = qobject_cast<QLayout *>(object)) {
        QCOMPARE(layout->parentWidget()->objectName(), layoutName);
        QCOMPARE(layout->parentWidget()->layout(), layout);
    } else if (row < 0) {
        QCOMPARE(window.centralWidget(), object);
    } else {
        auto layout = qobject_cast<QLayout *>(members.value(layoutName));
        QVERIFY(layout);
        auto widget = qobject_cast<QWidget *>(object);
        const int index = layout->indexOf(widget);
        QVERIFY(index >= 0);
        if (auto grid = qobject_cast<QGridLayout *>(layout)) {
            int r, c, rowSpan, columnSpan;
            grid->getItemPosition(index, &r, &c, &rowSpan, &columnSpan);
            QCOMPARE(QList<int>({ r, c, rowSpan, columnSpan }), QList<int>({ row, column, 1, 1 }));
        } else {
            QCOMPARE(index, row);
        }
    }

    // Nothing beyond the form's own widgets: no menu bar, status bar or tool bar.
    QCOMPARE(window.findChildren<QWidget *>().size(), 14);
    QVERIFY(!window.menuWidget());
}

void TestForm::creationOrder()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(objectNames(ui.centralwidget->children()),
             QStringList({ "verticalLayout", "groupBox", "groupBox_2", "pb_start" }));
    QCOMPARE(objectNames(ui.groupBox->children()),
             QStringList({ "verticalLayout_2", "radio_vulkan", "radio_d3d12", "radio_opengl3",
                           "radio_angle" }));
    QCOMPARE(objectNames(ui.groupBox_2->children()),
             QStringList({ "gridLayout", "pb_version", "label", "label_2", "pb_subscription",
                           "pb_settings", "label_3" }));
}

void TestForm::layoutItems()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(ui.verticalLayout->count(), 4);
    QCOMPARE(ui.verticalLayout_2->count(), 4);
    QCOMPARE(ui.gridLayout->count(), 6);
    QCOMPARE(ui.gridLayout->rowCount(), 3);
    QCOMPARE(ui.gridLayout->columnCount(), 2);
    for (QBoxLayout *box : { static_cast<QBoxLayout *>(ui.verticalLayout), static_cast<QBoxLayout *>(ui.verticalLayout_2) }) {
        for (int i = 0; i < box->count(); ++i) {
            QCOMPARE(box->stretch(i), 0);
            QCOMPARE(box->itemAt(i)->alignment(), Qt::Alignment());
        }
    }
    for (int i = 0; i < ui.gridLayout->count(); ++i)
        QCOMPARE(ui.gridLayout->itemAt(i)->alignment(), Qt::Alignment());

    // The grid shows the buttons top to bottom as Settings, Game Version, Subscription,
    // each with its explanation to the right.
    QStringList rows;
    for (int r = 0; r < 3; ++r) {
        rows.append(shownText(ui.gridLayout->itemAtPosition(r, 0)->widget()) + QLatin1String(" | ")
                    + shownText(ui.gridLayout->itemAtPosition(r, 1)->widget()));
    }
    QCOMPARE(rows, QStringList({
        "Settings | Resets all the game settings to default",
        "Game Version | Forces the updater to download all files on new versions instead of just different ones.",
        "Subscription | Logs out of Patreon/Subscribestar",
    }));
}

void TestForm::texts_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("MainWindow") << "Quillmont Helper";
    QTest::newRow("groupBox") << "Rendering Driver";
    QTest::newRow("radio_vulkan") << "Vulkan (Default)";
    QTest::newRow("radio_d3d12") << "DirectX 12";
    QTest::newRow("radio_opengl3") << "OpenGL 3 (Compatibility)";
    QTest::newRow("radio_angle") << "DirectX 11 (Compatibility)";
    QTest::newRow("groupBox_2") << "Clear Configurations";
    QTest::newRow("pb_version") << "Game Version";
    QTest::newRow("label") << "Forces the updater to download all files on new versions instead of just different ones.";
    QTest::newRow("label_2") << "Logs out of Patreon/Subscribestar";
    QTest::newRow("pb_subscription") << "Subscription";
    QTest::newRow("pb_settings") << "Settings";
    QTest::newRow("label_3") << "Resets all the game settings to default";
    QTest::newRow("pb_start") << "Close and start Quillmont";
}

void TestForm::texts()
{
    QFETCH(QString, text);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const auto shownIn = [&name](QMainWindow &window) {
        Ui_MainWindow ui;
        ui.setupUi(&window);
        return shownText(name == window.objectName() ? &window : formMembers(ui).value(name));
    };

    QMainWindow plain;
    QCOMPARE(shownIn(plain), text);

    // Every text is looked up for translation in the context "MainWindow".
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    QMainWindow translated;
    const QString marked = shownIn(translated);
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(marked, QLatin1String("MainWindow|") + text);
}

void TestForm::onlyTheLongLabelWraps()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QVERIFY(ui.label->wordWrap());
    QVERIFY(!ui.label_2->wordWrap());
    QVERIFY(!ui.label_3->wordWrap());
}

void TestForm::focusChainFollowsCreation()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QStringList chain;
    for (QWidget *w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain()) {
        QVERIFY2(chain.size() < 100, "the focus chain does not return to the window");
        if (w->focusPolicy() & Qt::TabFocus)
            chain.append(w->objectName());
    }
    QCOMPARE(chain, QStringList({ "radio_vulkan", "radio_d3d12", "radio_opengl3", "radio_angle",
                                  "pb_version", "pb_subscription", "pb_settings", "pb_start" }));
}

void TestForm::nothingCheckedEverythingEnabled()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    const QList<QAbstractButton *> buttons = window.findChildren<QAbstractButton *>();
    QCOMPARE(buttons.size(), 8);
    for (const QAbstractButton *button : buttons) {
        QVERIFY2(!button->isChecked(), qPrintable(button->objectName()));
        QVERIFY2(button->isEnabled(), qPrintable(button->objectName()));
    }
    // The radio buttons exclude each other through their parent alone.
    for (const QRadioButton *radio : window.findChildren<QRadioButton *>()) {
        QVERIFY(radio->autoExclusive());
        QVERIFY(!radio->group());
    }
}

void TestForm::windowName_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::newRow("empty") << "" << "MainWindow";
    QTest::newRow("kept") << "launcherWindow" << "launcherWindow";
}

void TestForm::windowName()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QMainWindow window;
    window.setObjectName(before);
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), after);
}

void TestForm::designSizeAndPolicy_data()
{
    QTest::addColumn<bool>("flagsBefore");
    QTest::newRow("flags set before") << true;
    QTest::newRow("flags clear before") << false;
}

void TestForm::designSizeAndPolicy()
{
    QFETCH(bool, flagsBefore);
    QMainWindow window;
    window.resize(500, 100);
    QSizePolicy before(QSizePolicy::Expanding, QSizePolicy::Preferred, QSizePolicy::PushButton);
    before.setHorizontalStretch(3);
    before.setVerticalStretch(4);
    before.setHeightForWidth(flagsBefore);
    before.setWidthForHeight(flagsBefore);
    before.setRetainSizeWhenHidden(flagsBefore);
    window.setSizePolicy(before);

    Ui_MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.size(), QSize(376, 340));
    const QSizePolicy policy = window.sizePolicy();
    QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(policy.verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(policy.horizontalStretch(), 0);
    QCOMPARE(policy.verticalStretch(), 0);
    QCOMPARE(policy.controlType(), QSizePolicy::DefaultType);
    QCOMPARE(policy.hasHeightForWidth(), flagsBefore); // the one flag carried over
    QVERIFY(!policy.hasWidthForHeight());
    QVERIFY(!policy.retainSizeWhenHidden());
    QCOMPARE(window.minimumSize(), QSize(0, 0));
    QCOMPARE(window.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
}

void TestForm::spacer()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    QVERIFY(ui.verticalSpacer);
    QCOMPARE(ui.verticalLayout->itemAt(ui.verticalLayout->count() - 1), ui.verticalSpacer);
    QCOMPARE(ui.verticalSpacer->sizeHint(), QSize(20, 0));
    QCOMPARE(ui.verticalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(ui.verticalSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

void TestForm::spareHeightGoesBelowStartButton()
{
    QMainWindow window;
    Ui_MainWindow ui;
    ui.setupUi(&window);
    window.resize(376, 700); // far more height than the form needs
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const int spacing = ui.verticalLayout->spacing();
    QCOMPARE(ui.groupBox->height(), ui.groupBox->sizeHint().height());
    QCOMPARE(ui.groupBox_2->height(), ui.groupBox_2->sizeHint().height());
    QCOMPARE(ui.pb_start->height(), ui.pb_start->sizeHint().height());
    QCOMPARE(ui.groupBox_2->geometry().top(), ui.groupBox->geometry().bottom() + 1 + spacing);
    QCOMPARE(ui.pb_start->geometry().top(), ui.groupBox_2->geometry().bottom() + 1 + spacing);

    const QRect spare = ui.verticalSpacer->geometry();
    QVERIFY2(spare.height() > 300, qPrintable(QString::number(spare.height())));
    QCOMPARE(spare.top(), ui.pb_start->geometry().bottom() + 1); // no spacing before a spacer
    QCOMPARE(spare.bottom(), ui.centralwidget->contentsRect().bottom()
                                 - ui.verticalLayout->contentsMargins().bottom());
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
