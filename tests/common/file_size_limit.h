#pragma once

// A full disk, made with the process's file-size limit: writes past `bytes` come
// up short or fail with EFBIG instead of raising SIGXFSZ. Both are put back when
// the object goes.

#include <sys/resource.h>

#include <csignal>
#include <stdexcept>

class TFileSizeLimit {
public:
    explicit TFileSizeLimit(rlim_t bytes)
    {
        if (::getrlimit(RLIMIT_FSIZE, &saved_) != 0)
            throw std::runtime_error("getrlimit");
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            throw std::runtime_error("setrlimit");
    }
    ~TFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    rlimit saved_ {};
    void (*previous_)(int) = nullptr;
};
