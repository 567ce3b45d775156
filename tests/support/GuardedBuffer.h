#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <random>

namespace tamro::test {

// `bytes` of memory whose last byte lies right before a page that can be neither read nor
// written, as libyuv's tests place their buffers: a row function that reads or writes past the
// end of its row crashes. The first byte is then as unaligned as `bytes` makes it.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t bytes) : m_bytes(bytes) {
        const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (bytes + page - 1) / page;
        m_mappedBytes = (dataPages + 1) * page;
        void* base = mmap(nullptr, m_mappedBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            ADD_FAILURE() << "mmap failed";
            return;
        }
        m_base = static_cast<uint8_t*>(base);
        EXPECT_EQ(mprotect(m_base + dataPages * page, page, PROT_NONE), 0);
        m_data = m_base + dataPages * page - bytes;
    }
    ~GuardedBuffer() {
        if (m_base)
            munmap(m_base, m_mappedBytes);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() const { return m_data; }
    size_t size() const { return m_bytes; }
    void Fill(std::mt19937& random) const {
        for (size_t i = 0; i < m_bytes; ++i)
            m_data[i] = static_cast<uint8_t>(random());
    }

  private:
    uint8_t* m_base = nullptr;
    uint8_t* m_data = nullptr;
    size_t m_bytes = 0;
    size_t m_mappedBytes = 0;
};

}  // namespace tamro::test
