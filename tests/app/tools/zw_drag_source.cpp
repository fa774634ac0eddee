// A drag source for end-to-end tests: a small window at a given place that, when the left
// button goes down on it, drags the files named on its command line as a desktop file manager
// would (file URLs, their bytes percent-encoded). It offers a copy or a move, preferring the
// copy, or with --move the move. It prints what became of the drag and, a few seconds later,
// ends with 0 when a target took it.
//   zw_drag_source [--move] X Y FILE...
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

class DragSource : public QWidget {
public:
    DragSource(QList<QUrl> urls, Qt::DropAction preferred)
        : urls_(std::move(urls)), preferred_(preferred) {
        setWindowTitle(QStringLiteral("zw_drag_source"));
        setFixedSize(80, 60);
        QPalette colours = palette();
        colours.setColor(QPalette::Window, QColor(70, 130, 180));
        setPalette(colours);
        setAutoFillBackground(true);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton) {
            return;
        }
        auto* data = new QMimeData;
        data->setUrls(urls_);
        // Left alive after exec(): the target may still be reading its data.
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        printf("dragging\n");
        fflush(stdout);
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction, preferred_);
        printf("drop action %d\n", static_cast<int>(action));
        fflush(stdout);
        // The target fetches the URLs after the drop; they are served only while we run.
        const int status = action == Qt::IgnoreAction ? 1 : 0;
        QTimer::singleShot(3000, [status] { QApplication::exit(status); });
    }

private:
    QList<QUrl> urls_;
    Qt::DropAction preferred_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int first = 1;
    Qt::DropAction preferred = Qt::CopyAction;
    if (argc > 1 && strcmp(argv[1], "--move") == 0) {
        preferred = Qt::MoveAction;
        ++first;
    }
    if (argc < first + 3) {
        fprintf(stderr, "usage: %s [--move] X Y FILE...\n", argv[0]);
        return 2;
    }
    QList<QUrl> urls;
    for (int i = first + 2; i < argc; ++i) {
        // As file managers name files: the path's own bytes, percent-encoded.
        urls << QUrl::fromEncoded("file://" + QByteArray(argv[i]).toPercentEncoding("/"));
    }
    DragSource source(urls, preferred);
    source.move(atoi(argv[first]), atoi(argv[first + 1]));
    source.show();
    printf("ready\n");
    fflush(stdout);
    return app.exec();
}
