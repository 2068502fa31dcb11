// Renders the window as it opens, with the program's own painting, to a PNG:
//   app_window_shot OUT.png
// The port is a pseudo-terminal, so the picture shows the window after a
// successful start rather than an error box.

#include "loader.h"
#include "messages.h"
#include "pty_pair.h"
#include "scratch_dir.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    InstallApplicationExceptionReport();

    ScratchDir folder;
    PtyPair port(folder / "ttyQR740");
    folder.WriteFile("Loader.ini", "[Communications]\nPort=1\n"
                                   "[Software]\nNew Version=3.03\n"
                                   "[Binary]\nQR 740=FW00303\n"
                                   "[Load Parameters]\nParameter File=site\n"
                                   "[Ports]\nCOM1=" + port.Link().string() + "\n");
    TfmLoader window(TLoaderEnvironment{.folder = QString::fromStdString(folder.Path().string())});
    window.show();
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
