// SPDX-License-Identifier: GPL-3.0-or-later
// Hex view frame cost over a full 16 MB buffer. The caret blinks twice a second, so an
// idle window repaints twice a second: a frame of at most 4 ms keeps it under 1% of a
// core. Thumb-dragging through the whole image must not allocate more per frame as the
// view moves further into the data.
//
// Run: build/bin/hexview_bench (QT_QPA_PLATFORM defaults to offscreen here).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <QApplication>
#include <QScrollBar>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "buffer/data_buffer.h"
#include "hexview/hex_view.h"

namespace {

std::atomic<long> newCalls{0};

using buffer::kImageSize;
using buffer::kSpareBytes;

// One view over a filled 16 MB image with some changed bytes, in a shown window.
struct Fixture {
    std::vector<std::uint8_t> image = std::vector<std::uint8_t>(kImageSize + kSpareBytes);
    std::vector<std::uint8_t> map = std::vector<std::uint8_t>(kImageSize / 8);
    QWidget window;
    hexview::HexView* view;
    QScrollBar* bar;

    Fixture() {
        std::uint32_t x = 12345;
        for (auto& b : image)
            b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
        for (std::size_t i = 0; i < map.size(); i += 3)
            map[i] = 0x5A;
        window.resize(600, 402);
        view = new hexview::HexView(&window);
        view->setGeometry(0, 0, 580, 402);
        bar = new QScrollBar(Qt::Vertical, &window);
        bar->setGeometry(582, 0, 16, 402);
        view->setScrollBar(bar);
        view->setData(image.data(), map.data(), kImageSize);
        window.show();
        view->setFocus();
        QApplication::processEvents();
        bar->setSliderPosition(32768);  // somewhere in the middle
        view->setCaretHidden(false);
    }
};

Fixture& fixture() {
    static Fixture* f = new Fixture;
    return *f;
}

// Composing the off-screen picture alone.
void BM_ComposeFrame16MB(benchmark::State& state) {
    Fixture& f = fixture();
    const long before = newCalls.load(std::memory_order_relaxed);
    for (auto _ : state)
        benchmark::DoNotOptimize(f.view->composeFrame().constBits());
    state.counters["news_per_frame"] =
        benchmark::Counter(static_cast<double>(newCalls.load(std::memory_order_relaxed) - before),
                           benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ComposeFrame16MB)->Repetitions(15)->ReportAggregatesOnly(true);

// A whole blink repaint: compose, then the one copy to the window.
void BM_RepaintFrame16MB(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state)
        f.view->repaint();
}
BENCHMARK(BM_RepaintFrame16MB)->Repetitions(15)->ReportAggregatesOnly(true);

// Thumb drag from the top to the bottom of 16 MB, one repaint per thumb position, the
// thumb moving `step` scroll-bar units at a time and ending on the last one. Counts the
// C++ allocations per frame in the first and the second half of the drag, and how much
// the heap in use grows over the second half: neither may rise with the position.
void BM_ThumbDragTopToBottom(benchmark::State& state) {
    Fixture& f = fixture();
    const int step = static_cast<int>(state.range(0));
    const int last = f.bar->maximum();
    double firstHalfNews = 0, secondHalfNews = 0, heapGrowth = 0;
    for (auto _ : state) {
        f.bar->setSliderPosition(0);
        f.view->repaint();
        long news[2] = {0, 0}, frames[2] = {0, 0};
        std::size_t heapAtHalf = 0;
        for (int pos = step;; pos = pos + step > last && pos != last ? last : pos + step) {
            if (pos > last)
                break;
            const int half = pos * 2 > last ? 1 : 0;
            if (half == 1 && frames[1] == 0)
                heapAtHalf = mallinfo2().uordblks;
            const long before = newCalls.load(std::memory_order_relaxed);
            f.bar->setSliderPosition(pos);  // tracking: the view follows the thumb at once
            f.view->repaint();
            QCoreApplication::sendPostedEvents();  // the bar's own repaint requests
            news[half] += newCalls.load(std::memory_order_relaxed) - before;
            ++frames[half];
            if (pos == last)
                break;
        }
        heapGrowth = static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heapAtHalf);
        firstHalfNews = static_cast<double>(news[0]) / static_cast<double>(frames[0]);
        secondHalfNews = static_cast<double>(news[1]) / static_cast<double>(frames[1]);
        state.counters["frames"] = static_cast<double>(frames[0] + frames[1]);
    }
    state.counters["news_per_frame_1st_half"] = firstHalfNews;
    state.counters["news_per_frame_2nd_half"] = secondHalfNews;
    state.counters["heap_growth_2nd_half_bytes"] = heapGrowth;
    if (f.view->hexLayout().topRow != f.view->hexLayout().maxTopRow())
        state.SkipWithError("the drag did not reach the bottom");
}
BENCHMARK(BM_ThumbDragTopToBottom)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

// Counting C++ allocations for the drag benchmark.
void* operator new(std::size_t size) {
    newCalls.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
