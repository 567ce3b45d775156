#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "tamro/ModuleObject.h"

namespace tamro {

enum class AsyncStatus { Started, Completed, Error };

// The result of an operation that completes later, exactly once.
//
// Threading: Get, WaitFor, Status and Completed may be called from any thread. The completion
// handler runs once, outside the operation's lock: on the completing thread, or at once on the
// caller's thread when the operation has already completed.
template <typename T>
class AsyncOperation final : public ModuleObject,
                             public std::enable_shared_from_this<AsyncOperation<T>> {
  public:
    using CompletedHandler = std::function<void(AsyncOperation&, AsyncStatus)>;

    // Runs `work` on a thread of its own that keeps the operation alive until it completes.
    // An exception from `work` completes the operation with Error; Get rethrows it.
    static std::shared_ptr<AsyncOperation> Run(std::function<T()> work) {
        auto operation = std::shared_ptr<AsyncOperation>(new AsyncOperation());
        std::thread([operation, work = std::move(work)] {
            std::optional<T> value;
            std::exception_ptr error;
            try {
                value.emplace(work());
            } catch (...) {
                error = std::current_exception();
            }
            operation->Complete(std::move(value), error);
        }).detach();
        return operation;
    }

    static std::shared_ptr<AsyncOperation> FromResult(T value) {
        auto operation = std::shared_ptr<AsyncOperation>(new AsyncOperation());
        operation->Complete(std::move(value), nullptr);
        return operation;
    }

    T Get() {
        std::unique_lock lock(m_mutex);
        m_completedChanged.wait(lock, [this] { return m_status != AsyncStatus::Started; });
        if (m_error) {
            std::rethrow_exception(m_error);
        }
        return *m_value;
    }

    // True when the operation completed within `limit`.
    bool WaitFor(std::chrono::milliseconds limit) {
        std::unique_lock lock(m_mutex);
        return m_completedChanged.wait_for(lock, limit,
                                           [this] { return m_status != AsyncStatus::Started; });
    }

    AsyncStatus Status() const {
        std::lock_guard lock(m_mutex);
        return m_status;
    }

    // At most one handler; a second call replaces a handler that has not run yet.
    void Completed(CompletedHandler handler) {
        AsyncStatus status;
        {
            std::lock_guard lock(m_mutex);
            status = m_status;
            if (status == AsyncStatus::Started) {
                m_handler = std::move(handler);
                return;
            }
        }
        if (handler) {
            handler(*this, status);
        }
    }

  private:
    AsyncOperation() = default;

    void Complete(std::optional<T> value, std::exception_ptr error) {
        CompletedHandler handler;
        AsyncStatus status;
        {
            std::lock_guard lock(m_mutex);
            m_value = std::move(value);
            m_error = error;
            m_status = error ? AsyncStatus::Error : AsyncStatus::Completed;
            status = m_status;
            handler = std::move(m_handler);
            m_completedChanged.notify_all();
        }
        if (handler) {
            handler(*this, status);
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_completedChanged;
    AsyncStatus m_status = AsyncStatus::Started;
    std::optional<T> m_value;
    std::exception_ptr m_error;
    CompletedHandler m_handler;
};

}  // namespace tamro
