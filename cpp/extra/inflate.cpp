// quelmar._extra.GzipStream: a gzip file's bytes, inflated by a thread of
// its own that never takes the interpreter lock, so decompressing the next
// chunks overlaps scanning the current one (a Python reader thread takes
// the lock back a few times per chunk and waits for it each time, up to
// the switch interval, while the scanning thread holds it).
//
// The stream reads a file descriptor of its own (a duplicate of the one it
// is given) and inflates every member of the file, zero padding between
// members allowed, as the gzip module reads them. Chunks go through a ring
// of three buffers: the one read by Python, one ready, one being filled.
#include "extra/records.hpp"

#if defined(QUELMAR_ZLIB)

#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <system_error>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "pyext/binding.hpp"

namespace quelmar::py {
namespace {

enum class Failure { None, Truncated, Data, Io, NoMemory };

class Inflater {
public:
    explicit Inflater(int fd) : fd_(fd), in_(std::size_t{1} << 18) {
        std::memset(&z_, 0, sizeof z_);
        if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() {
        inflateEnd(&z_);
        ::close(fd_);
    }

    // The next chunk of at most `size` bytes into `out`; false at the end
    // of the file or on failure (failure() tells which).
    bool next(std::string& out, std::size_t size) {
        out.resize(size);
        std::size_t filled = 0;
        while (filled < size && failure_ == Failure::None && !ended_) {
            if (z_.avail_in == 0 && !fill()) break;
            if (!inside_) {
                // Between members: zero padding, then a member or the end.
                while (z_.avail_in > 0 && *z_.next_in == 0) ++z_.next_in, --z_.avail_in;
                if (z_.avail_in == 0) continue;
                inside_ = true;
            }
            z_.next_out = reinterpret_cast<Bytef*>(out.data() + filled);
            z_.avail_out = static_cast<uInt>(size - filled);
            const int rc = inflate(&z_, Z_NO_FLUSH);
            filled = size - z_.avail_out;
            if (rc == Z_STREAM_END) {
                inside_ = false;
                inflateReset(&z_);
            } else if (rc == Z_BUF_ERROR) {
                // No progress possible: more input is needed (read above).
                if (z_.avail_in != 0 && z_.avail_out != 0) fail(Failure::Data, "invalid compressed data");
            } else if (rc != Z_OK) {
                fail(rc == Z_MEM_ERROR ? Failure::Io : Failure::Data,
                     z_.msg != nullptr ? z_.msg : "invalid compressed data");
            }
        }
        out.resize(filled);
        return filled > 0;
    }

    Failure failure() const noexcept { return failure_; }
    const std::string& message() const noexcept { return message_; }
    // Compressed bytes read so far (by whichever thread inflates).
    std::uint64_t bytes_read() const noexcept { return read_.load(std::memory_order_relaxed); }

private:
    // More compressed input; false at the end of the file (a member cut
    // short is then a failure) or on a read error.
    bool fill() {
        for (;;) {
            const ssize_t n = ::read(fd_, in_.data(), in_.size());
            if (n > 0) {
                z_.next_in = in_.data();
                z_.avail_in = static_cast<uInt>(n);
                read_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
                return true;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                fail(Failure::Io, std::strerror(errno));
            } else {
                ended_ = true;
                if (inside_) fail(Failure::Truncated, "Compressed file ended before the end-of-stream marker was reached");
            }
            return false;
        }
    }

    void fail(Failure f, const char* message) {
        failure_ = f;
        message_ = message;
    }

    int fd_;
    std::vector<Bytef> in_;
    z_stream z_;
    bool inside_ = false;  // inside a member
    bool ended_ = false;
    std::atomic<std::uint64_t> read_{0};
    Failure failure_ = Failure::None;
    std::string message_;
};

// The inflater, run by a thread of its own or in the caller's thread.
class Stream {
public:
    Stream(std::unique_ptr<Inflater> inflater, std::size_t chunk, bool background)
        : inflater_(std::move(inflater)), chunk_(chunk) {
        // Buffers only go round: handing one back never allocates.
        spare_.reserve(kReady + 2);
        if (background) worker_ = std::thread([this] { run(); });
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() { stop(); }

    void stop() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (worker_.joinable()) worker_.join();
    }

    // The next chunk (empty at the end, or once stopped); called without
    // the interpreter lock, by one reader at a time (read_mutex()).
    bool next(std::string& out) {
        if (!worker_.joinable()) {
            if (done_ || stopped()) return false;
            if (!inflater_->next(out, chunk_)) done_ = true;
            return !done_;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return ready_count_ > 0 || done_ || stopping_; });
        if (ready_count_ == 0 || stopping_) return false;
        std::string& front = ready_[ready_head_];
        out.swap(front);
        spare_.push_back(std::move(front));
        ready_head_ = (ready_head_ + 1) % kReady;
        --ready_count_;
        lock.unlock();
        changed_.notify_all();
        return true;
    }

    bool stopped() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopping_;
    }
    std::mutex& read_mutex() noexcept { return read_mutex_; }

    Failure failure() const noexcept { return no_memory_ ? Failure::NoMemory : inflater_->failure(); }
    std::uint64_t bytes_read() const noexcept { return inflater_->bytes_read(); }
    const std::string& message() const noexcept { return inflater_->message(); }

private:
    static constexpr std::size_t kReady = 2;  // chunks waiting at most

    void run() {
        std::string chunk;
        for (;;) {
            bool more = false;
            try {
                more = inflater_->next(chunk, chunk_);
            } catch (const std::bad_alloc&) {
                no_memory_ = true;  // read from the consumer once done_ is set
            }
            std::unique_lock<std::mutex> lock(mutex_);
            if (!more) {
                done_ = true;
                break;
            }
            changed_.wait(lock, [this] { return ready_count_ < kReady || stopping_; });
            if (stopping_) break;
            ready_[(ready_head_ + ready_count_) % kReady] = std::move(chunk);
            ++ready_count_;
            if (!spare_.empty()) {
                chunk = std::move(spare_.back());
                spare_.pop_back();
            } else {
                chunk.clear();
            }
            lock.unlock();
            changed_.notify_all();
        }
        changed_.notify_all();
    }

    std::unique_ptr<Inflater> inflater_;
    std::size_t chunk_;
    std::mutex mutex_;
    std::mutex read_mutex_;  // held by the reader of `next` and its chunk
    std::condition_variable changed_;
    std::string ready_[kReady];  // a ring of ready chunks
    std::size_t ready_head_ = 0;
    std::size_t ready_count_ = 0;
    std::vector<std::string> spare_;
    bool done_ = false;
    bool stopping_ = false;
    bool no_memory_ = false;
    std::thread worker_;
};

// The stream is shared by the object and a read() in progress: close()
// stops it, which wakes that read, and the last of them deletes it.
struct StreamObject {
    PyObject_HEAD
    std::shared_ptr<Stream>* stream;  // null once closed
    std::string* chunk;               // the last chunk handed out is copied from here
    pid_t owner;                      // the process whose thread inflates
};

// A child made by fork() has the stream but not its thread, and maybe a
// lock the thread held: it never reads the stream nor waits for the thread.
bool forked(const StreamObject* self) noexcept { return self->owner != ::getpid(); }

void stream_close_impl(StreamObject* self) {
    std::shared_ptr<Stream>* s = self->stream;
    self->stream = nullptr;
    // A forked child leaves the stream alone (its thread is the parent's).
    if (s == nullptr || forked(self)) return;
    Py_BEGIN_ALLOW_THREADS
    (*s)->stop();
    delete s;  // the stream itself once a read in progress lets it go
    Py_END_ALLOW_THREADS
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = reinterpret_cast<StreamObject*>(self);
    stream_close_impl(obj);
    delete obj->chunk;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    int fd = -1;
    Py_ssize_t chunk = 0;
    int background = 1;
    static const char* kw[] = {"fd", "chunk_size", "background", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "in|p:GzipStream", const_cast<char**>(kw), &fd, &chunk,
                                     &background))
        return nullptr;
    if (chunk <= 0 || static_cast<unsigned long long>(chunk) > 0x7fffffffULL) {
        PyErr_SetString(PyExc_ValueError, "chunk_size must be positive and below 2 GiB");
        return nullptr;
    }
    const int own = ::dup(fd);
    if (own < 0) return PyErr_SetFromErrno(PyExc_OSError);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        ::close(own);
        return nullptr;
    }
    auto* obj = reinterpret_cast<StreamObject*>(self);
    obj->owner = ::getpid();
    try {
        obj->chunk = new std::string();
    } catch (const std::bad_alloc&) {
        ::close(own);
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    // The descriptor is the inflater's once it is made: it closes it, also
    // when the thread cannot be started.
    std::unique_ptr<Inflater> made;
    try {
        made = std::make_unique<Inflater>(own);
    } catch (const std::bad_alloc&) {
        ::close(own);
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    try {
        obj->stream = new std::shared_ptr<Stream>(
            std::make_shared<Stream>(std::move(made), static_cast<std::size_t>(chunk), background != 0));
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    } catch (const std::system_error& e) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    return self;
}

PyObject* raise_failure(Failure f, const std::string& message) {
    if (f == Failure::NoMemory) return PyErr_NoMemory();
    if (f == Failure::Truncated) return raise_message(PyExc_EOFError, message);
    if (f == Failure::Io) return raise_message(PyExc_OSError, message);
    PyRef zlib = PyRef::steal(PyImport_ImportModule("zlib"));
    PyRef error = zlib ? PyRef::steal(PyObject_GetAttrString(zlib.get(), "error")) : PyRef();
    if (!error) return nullptr;
    return raise_message(error.get(), "Error -3 while decompressing data: " + message);
}

PyObject* stream_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    // read([size]): the next chunk, whatever size asks (at most chunk_size
    // bytes); b"" at the end.
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "read() takes at most one argument");
        return nullptr;
    }
    (void)args;
    auto* obj = reinterpret_cast<StreamObject*>(self);
    if (obj->stream == nullptr) {
        PyErr_SetString(PyExc_ValueError, "read of a closed GzipStream");
        return nullptr;
    }
    if (forked(obj)) {
        PyErr_SetString(PyExc_RuntimeError, "a GzipStream cannot be read in a process forked from the one that opened it");
        return nullptr;
    }
    bool got = false;
    bool no_memory = false;
    const std::shared_ptr<Stream> s = *obj->stream;
    std::string* chunk = obj->chunk;
    std::unique_lock<std::mutex> reading(s->read_mutex(), std::defer_lock);
    Py_BEGIN_ALLOW_THREADS
    reading.lock();
    try {
        got = s->next(*chunk);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    if (obj->stream == nullptr) {
        PyErr_SetString(PyExc_ValueError, "GzipStream closed while it was read");
        return nullptr;
    }
    if (!got) {
        if (s->failure() != Failure::None) return raise_failure(s->failure(), s->message());
        return PyBytes_FromStringAndSize(nullptr, 0);
    }
    return PyBytes_FromStringAndSize(chunk->data(), static_cast<Py_ssize_t>(chunk->size()));
}

PyObject* stream_bytes_read(PyObject* self, PyObject*) {
    auto* obj = reinterpret_cast<StreamObject*>(self);
    if (obj->stream == nullptr) return PyLong_FromLong(0);
    return PyLong_FromUnsignedLongLong((*obj->stream)->bytes_read());
}

PyObject* stream_close(PyObject* self, PyObject*) {
    stream_close_impl(reinterpret_cast<StreamObject*>(self));
    Py_RETURN_NONE;
}

PyMethodDef stream_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(stream_read)), METH_FASTCALL,
     "read(size=-1, /)\n--\n\nThe next chunk of inflated bytes; b'' at the end."},
    {"close", stream_close, METH_NOARGS, "close()\n--\n\nStops the inflating thread and closes the file."},
    {"bytes_read", stream_bytes_read, METH_NOARGS,
     "bytes_read()\n--\n\nCompressed bytes read from the file so far (ahead of what read() gave)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_tp_doc, const_cast<char*>("GzipStream(fd, chunk_size, background=True)\n--\n\n"
                                  "The inflated bytes of the gzip file open at fd, read ahead by a thread.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "quelmar._extra.GzipStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

}  // namespace

int add_gzip_stream(PyObject* module) {
    PyObject* type = PyType_FromSpec(&stream_spec);
    if (type == nullptr) return -1;
    if (PyModule_AddObject(module, "GzipStream", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

}  // namespace quelmar::py

#else

namespace quelmar::py {
// Built without zlib: the package reads gzip files through the gzip module.
int add_gzip_stream(PyObject*) { return 0; }
}  // namespace quelmar::py

#endif
