// An open folder of the walk through folder handles.
#ifndef KEHRLUND_FOLDERHANDLE_H
#define KEHRLUND_FOLDERHANDLE_H

#include <unistd.h>

// An open folder; closed when it goes out of scope.
class FolderHandle
{
  public:
    FolderHandle() = default;
    explicit FolderHandle(int handle) : handle(handle) {}
    FolderHandle(FolderHandle &&other) noexcept : handle(other.release()) {}
    FolderHandle &operator=(FolderHandle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;
    ~FolderHandle() { reset(); }

    int get() const { return handle; }
    bool isOpen() const { return handle >= 0; }
    int release()
    {
        const int h = handle;
        handle = -1;
        return h;
    }
    void reset(int replacement = -1)
    {
        if (handle >= 0)
            ::close(handle);
        handle = replacement;
    }

  private:
    int handle = -1;
};

#endif
