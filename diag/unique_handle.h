#pragma once

#include <windows.h>

#include <string>

// Owns one kernel handle and closes it when it goes out of scope. Snapshots
// and files fail with INVALID_HANDLE_VALUE, other calls with null: both
// count as no handle.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    ~UniqueHandle() { Close(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_handle = other.Release();
        }
        return *this;
    }

    bool IsValid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }

    HANDLE Release()
    {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

    // Closes now; returns whether CloseHandle succeeded (true if nothing was held).
    bool Close()
    {
        const bool closed = IsValid() ? CloseHandle(m_handle) != FALSE : true;
        m_handle = nullptr;
        return closed;
    }

private:
    HANDLE m_handle = nullptr;
};

// One search of a folder (FindFirstFileW), closed with FindClose when it
// goes out of scope. Found() says whether the pattern matched anything;
// Data() is the current match, Next() moves to the following one.
class UniqueFind {
public:
    explicit UniqueFind(const std::wstring& pattern)
        : m_find(FindFirstFileW(pattern.c_str(), &m_found))
    {
    }
    ~UniqueFind()
    {
        if (Found())
            FindClose(m_find);
    }

    UniqueFind(const UniqueFind&) = delete;
    UniqueFind& operator=(const UniqueFind&) = delete;

    bool Found() const { return m_find != INVALID_HANDLE_VALUE; }
    const WIN32_FIND_DATAW& Data() const { return m_found; }
    bool Next() { return FindNextFileW(m_find, &m_found) != FALSE; }

private:
    WIN32_FIND_DATAW m_found = {};
    HANDLE m_find;
};
