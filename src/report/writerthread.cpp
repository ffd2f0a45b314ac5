#include "report/writerthread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvx::report {

namespace {

constexpr std::size_t kBatchRows = 1024;
constexpr std::size_t kBatches = 8;

// Rows, their cells one after another. The strings are kept between uses, so that once the
// first batches are filled, handing a row over allocates nothing.
struct Batch {
    std::vector<std::string> cells;
    std::size_t used = 0;
    std::vector<std::size_t> rowEnds;

    void add(std::span<const std::string> row) {
        for (const std::string& cell : row) {
            if (used == cells.size()) {
                cells.emplace_back();
            }
            cells[used++].assign(cell);
        }
        rowEnds.push_back(used);
    }
    void clear() {
        used = 0;
        rowEnds.clear();
    }
};

class ThreadWriter : public TableWriter {
public:
    explicit ThreadWriter(std::unique_ptr<TableWriter> writer) : writer_(std::move(writer)) {
        for (std::size_t i = 0; i + 1 < kBatches; ++i) {
            free_.push_back(std::make_unique<Batch>());
        }
        filling_ = std::make_unique<Batch>();
        thread_ = std::thread([this] { work(); });
    }
    ~ThreadWriter() override { stop(); }
    ThreadWriter(const ThreadWriter&) = delete;
    ThreadWriter& operator=(const ThreadWriter&) = delete;

    void columns(const std::vector<OutputColumn>& columns) override {
        handOver();
        {
            std::unique_lock lock(mutex_);
            idle_.wait(lock, [this] { return full_.empty() && !busy_; });
        }
        writer_->columns(columns);
    }

    void row(std::span<const std::string> cells) override {
        filling_->add(cells);
        if (filling_->rowEnds.size() >= kBatchRows) {
            handOver();
        }
    }

    bool close() override {
        stop();
        return writer_->close();
    }

    int sheets() const override { return writer_->sheets(); }
    std::size_t shortenedCells() const override { return writer_->shortenedCells(); }

private:
    // The filled batch to the writer's thread, and an empty one back once there is one.
    void handOver() {
        if (filling_->rowEnds.empty()) {
            return;
        }
        std::unique_lock lock(mutex_);
        full_.push_back(std::move(filling_));
        work_.notify_one();
        idle_.wait(lock, [this] { return !free_.empty(); });
        filling_ = std::move(free_.front());
        free_.pop_front();
    }

    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        handOver();
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        work_.notify_one();
        thread_.join();
    }

    void work() {
        for (;;) {
            std::unique_ptr<Batch> batch;
            {
                std::unique_lock lock(mutex_);
                work_.wait(lock, [this] { return !full_.empty() || done_; });
                if (full_.empty()) {
                    return;
                }
                batch = std::move(full_.front());
                full_.pop_front();
                busy_ = true;
            }
            const std::span<const std::string> cells(batch->cells);
            std::size_t start = 0;
            for (const std::size_t end : batch->rowEnds) {
                writer_->row(cells.subspan(start, end - start));
                start = end;
            }
            batch->clear();
            {
                std::lock_guard lock(mutex_);
                free_.push_back(std::move(batch));
                busy_ = false;
            }
            idle_.notify_one();
        }
    }

    std::unique_ptr<TableWriter> writer_;
    std::unique_ptr<Batch> filling_; // the caller's
    std::mutex mutex_;
    std::condition_variable work_; // a batch to write, or the end
    std::condition_variable idle_; // a batch written
    std::deque<std::unique_ptr<Batch>> full_;
    std::deque<std::unique_ptr<Batch>> free_;
    bool busy_ = false;
    bool done_ = false;
    std::thread thread_;
};

} // namespace

std::unique_ptr<TableWriter> WriteOnThread(std::unique_ptr<TableWriter> writer) {
    if (!writer) {
        return nullptr;
    }
    return std::make_unique<ThreadWriter>(std::move(writer));
}

} // namespace kvx::report
