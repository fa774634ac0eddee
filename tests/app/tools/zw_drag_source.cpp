// A drag source for end-to-end tests: a small window at a given place that, when the left
// button goes down on it, drags the files named on its command line as a desktop file manager
// would (file URLs). It prints what became of the drag and, a few seconds later, ends with 0
// when a target took it.
//   zw_drag_source X Y FILE...
#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace {

class DragSource : public QWidget {
public:
    explicit DragSource(QList<QUrl> urls) : urls_(std::move(urls)) {
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
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
        printf("drop action %d\n", static_cast<int>(action));
        fflush(stdout);
        // The target fetches the URLs after the drop; they are served only while we run.
        const int status = action == Qt::IgnoreAction ? 1 : 0;
        QTimer::singleShot(3000, [status] { QApplication::exit(status); });
    }

private:
    QList<QUrl> urls_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 4) {
        fprintf(stderr, "usage: %s X Y FILE...\n", argv[0]);
        return 2;
    }
    QList<QUrl> urls;
    for (int i = 3; i < argc; ++i) {
        urls << QUrl::fromLocalFile(QString::fromLocal8Bit(argv[i]));
    }
    DragSource source(urls);
    source.move(atoi(argv[1]), atoi(argv[2]));
    source.show();
    printf("ready\n");
    fflush(stdout);
    return app.exec();
}
