// The window's costs, offscreen with the software renderer:
// - "scroll": a 500-product library scrolled from top to bottom; the time of each frame from the scroll
//   step until the frame is rendered (delegate creation included);
// - "idle SECONDS": the library window with 50 products and its once-a-second re-scan ticking, left alone;
//   CPU share of one core and resident memory from /proc;
// - "keystroke": typing into the search field of a 10,000-product library, each keystroke filtering
//   and updating the rows.
// The model shows a fixed state (its re-scan's own cost is measured by the model's benchmark).

#include <sys/times.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

#include "benchmarks/proc_status.h"
#include "ui/fixtures/window_fixtures.h"
#include "ui/library_presenter.h"
#include "ui/refresh_driver.h"
#include "ui/window_services.h"
#include "ui/window_setup.h"

namespace {

using halvex::app::HubModel;
namespace fixtures = halvex::ui::fixtures;

void settle(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

struct Window {
    HubModel model;
    halvex::ui::LibraryPresenter library{&model};
    QQmlApplicationEngine engine;
    QQuickWindow* window = nullptr;

    explicit Window(HubModel::Snapshot snapshot) : model(snapshot) {
        halvex::ui::WindowServices::current().hub = &model;
        halvex::ui::prepareEngine(engine, &model, &library);
        engine.load(QUrl(QStringLiteral("qrc:/HalvexHub/Main.qml")));
        window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
        window->resize(1120, 760);
        settle(500);
    }
};

HubModel::Snapshot libraryOf(int products) {
    auto snapshot = fixtures::library();
    snapshot.catalog = fixtures::largeCatalog(products);
    fixtures::preloadIcons(*snapshot.catalog);
    return snapshot;
}

int scroll() {
    Window host(libraryOf(500));
    auto* list = host.window->findChild<QQuickItem*>(QStringLiteral("productList"));
    const double contentHeight = list->property("contentHeight").toDouble();
    const double step = 60;
    std::vector<double> frames;
    QEventLoop loop;
    QObject::connect(host.window, &QQuickWindow::frameSwapped, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    QElapsedTimer timer;
    for (double y = 0; y + list->height() < list->property("contentHeight").toDouble(); y += step) {
        timer.start();
        list->setProperty("contentY", y);
        host.window->update();
        loop.exec();
        frames.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::printf(
        "scroll: 500 rows (%.0f px), %zu frames of %.0f px: mean %.2f ms, p95 %.2f ms, max %.2f ms "
        "(goal: every frame < 16 ms)\n",
        contentHeight, frames.size(), step,
        std::accumulate(frames.begin(), frames.end(), 0.0) / static_cast<double>(frames.size()),
        percentile(frames, 0.95), *std::max_element(frames.begin(), frames.end()));
    return 0;
}

double cpuSeconds() {
    tms times{};
    ::times(&times);
    return static_cast<double>(times.tms_utime + times.tms_stime) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int idle(int seconds) {
    Window host(libraryOf(50));
    halvex::ui::RefreshDriver refresh(&host.model);
    refresh.begin();
    settle(2000);
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    settle(seconds * 1000);
    const double share = (cpuSeconds() - before) / (static_cast<double>(wall.elapsed()) / 1000.0) * 100.0;
    std::printf(
        "idle: 50 products, re-scan every 1 s, %d s: CPU %.2f %% of one core, resident %.1f MiB "
        "(goal: < 1 %%, < 150 MiB)\n",
        seconds, share, static_cast<double>(halvex::benchmarks::statusKilobytes("VmRSS")) / 1024.0);
    return 0;
}

int keystroke() {
    Window host(libraryOf(10000));
    const QString typed = QStringLiteral("aurora delay 12");
    std::vector<double> times;
    QElapsedTimer timer;
    for (int round = 0; round < 20; ++round) {
        for (int length = 1; length <= typed.size(); ++length) {
            timer.start();
            host.library.setQuery(typed.left(length));
            times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        }
        host.library.setQuery(QString());
    }
    std::printf(
        "keystroke: 10,000 products, %zu keystrokes (filter and rows): mean %.3f ms, p95 %.3f ms, "
        "max %.3f ms\n",
        times.size(), std::accumulate(times.begin(), times.end(), 0.0) / static_cast<double>(times.size()),
        percentile(times, 0.95), *std::max_element(times.begin(), times.end()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication application(argc, argv);
    halvex::ui::prepareApplication();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "scroll") return scroll();
    if (mode == "idle") return idle(argc > 2 ? std::atoi(argv[2]) : 30);
    if (mode == "keystroke") return keystroke();
    std::fprintf(stderr, "usage: window_benchmark scroll | idle [SECONDS] | keystroke\n");
    return 2;
}
