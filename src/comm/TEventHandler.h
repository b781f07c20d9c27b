#pragma once

#include <functional>
#include <mutex>

// An event slot that can be assigned, replaced and cleared while another thread may be about
// to call it. The call runs on a copy taken under the lock, so a handler that clears or
// replaces its own slot is safe.
template<typename... Args> class TEventHandler
{
public:
    using Function = std::function<void(Args...)>;

    TEventHandler() = default;
    TEventHandler(const TEventHandler &) = delete;
    TEventHandler &operator=(const TEventHandler &) = delete;

    TEventHandler &operator=(Function fn)
    {
        std::lock_guard lock(m_mutex);
        m_fn = std::move(fn);
        return *this;
    }

    explicit operator bool() const
    {
        std::lock_guard lock(m_mutex);
        return static_cast<bool>(m_fn);
    }

    Function get() const
    {
        std::lock_guard lock(m_mutex);
        return m_fn;
    }

    // Calls the handler if one is assigned; true when it was called.
    bool operator()(Args... args) const
    {
        const Function fn = get();
        if (!fn)
            return false;
        fn(args...);
        return true;
    }

private:
    mutable std::mutex m_mutex;
    Function m_fn;
};
