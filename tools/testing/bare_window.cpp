// The least a Qt Widgets program does to show a window: a fixed-size window with a title, the
// size of the program's. Start-up times are compared against it.
//   pendrel-bare-window

#include <QApplication>
#include <QWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    window.setFixedSize(313, 153);
    window.show();
    return app.exec();
}
