#include "app/model/serial_worker.h"

namespace halvex::app {

SerialWorker::SerialWorker() : thread_([this] { run(); }) {}

SerialWorker::~SerialWorker() {
    stop();
}

void SerialWorker::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            wake_.notify_one();
            return;
        }
    }
    job(true);
}

void SerialWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        stop_.request_stop();
        wake_.notify_one();
    }
    thread_.join();
    for (auto& job : jobs_) job(true);
    jobs_.clear();
}

void SerialWorker::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job(false);
    }
}

}  // namespace halvex::app
