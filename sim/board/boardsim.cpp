// boardsim: the cabinet board's character display (I2C bus 0) and GPIO value files as a FUSE
// file system, so that the real paneld runs without hardware. See usage() for the interface.
#define FUSE_USE_VERSION 35

#include <cuse_lowlevel.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <dirent.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr unsigned long I2C_SLAVE_REQUEST = 0x0703;  // <linux/i2c-dev.h> I2C_SLAVE
constexpr unsigned DISPLAY_ADDRESS = 0x23;
constexpr unsigned BUTTON_LINE = 70;
constexpr int TAP_MS = 200;

const char* const USAGE = R"(Usage: boardsim [options] MOUNTPOINT

Simulates the cabinet board for paneld: a FUSE file system on MOUNTPOINT (an existing
directory) holding
  MOUNTPOINT/i2c-0              the I2C bus with the 2x16 character display at address 0x23
  MOUNTPOINT/gpioN/value        the sysfs value file of each simulated GPIO input line

The I2C file accepts ioctl(I2C_SLAVE, 0x23) and refuses other addresses (ENXIO); a write
before the address is set fails with EREMOTEIO. Every write is recorded as one frame. A text
frame is 0x01, the text (lines split by a line feed), 0x00; the display shows it.
A value file reads "0\n" or "1\n" (1 = at rest, 0 = pressed), takes lseek, and signals POLLPRI
(with POLLERR) to poll() once after each change, until it is read again, as sysfs does.

Options:
  --gpio LIST       GPIO lines to provide, comma separated (default 70,63); line 70 is the
                    page button
  --control PATH    listen on a Unix stream socket at PATH for control commands (below)
  --cuse NAME       also provide the I2C bus as the character device /dev/NAME (CUSE:
                    root, kernel module cuse), e.g. for a unit whose device policy
                    admits only the real device; it is there when boardsim logs
                    "device /dev/NAME"
  --install         also bind-mount the files over /dev/i2c-0 and /sys/class/gpio/gpioN/value.
                    Only inside a private mount namespace (refused in that of process 1). A
                    missing target is created on a tmpfs laid over its deepest existing
                    ancestor, whose former entries are bound back in place. Everything is
                    unmounted again when boardsim ends.
  --help            this text

boardsim prints "ready" on standard output once the file system (and --install) is in place.
When standard input and output are a terminal it draws the display there instead; glyphs
0xC5 (good) show as '+', 0xC6 (bad) as 'x', 0xCD (nothing set) as '.', other codes outside
printable ASCII as '?'. Keys: space or p taps the button (press, release 200 ms later);
q quits. Otherwise each frame is logged as a line on standard output.
boardsim ends on SIGTERM, SIGINT or SIGHUP, on q, and when its parent process dies.

Control commands, one per line; each gets one reply line ("error: ..." on failure):
  press [LINE]      set the line to 0 (pressed); default line 70. Reply "ok"
  release [LINE]    set the line to 1 (at rest). Reply "ok"
  tap [LINE]        press now, release 200 ms later. Reply "ok"
  value [LINE]      reply the line's value, "0" or "1"
  screen            reply "screen " and the two display lines as shown, joined by '|'
  frames            reply "frames N", the number of frames written so far
  watch             reply every frame written so far, then each new one as it is written,
                    one line each: "frame INDEX HEX" (INDEX from 0, HEX the bytes written,
                    two lowercase digits each, no blanks)
  quit              end boardsim
)";

enum Inode : fuse_ino_t { ROOT = 1, I2C = 2, FIRST_GPIO = 3 };

struct Line {
    unsigned number;
    char value = '1';
    uint64_t events = 0;  // changes so far; an open file that has seen fewer gets POLLPRI
};

struct OpenFile {
    fuse_ino_t ino;
    int address = -1;   // I2C slave address selected on this file
    uint64_t seen = 0;  // value-file events seen by the last read
    fuse_pollhandle* poll = nullptr;
};

struct Client {
    int fd;
    std::string input;
    bool watching = false;
};

struct Board {
    std::vector<Line> lines;
    std::map<uint64_t, OpenFile> files;
    uint64_t nextFile = 1;
    std::vector<std::vector<uint8_t>> frames;
    std::string screen[2] = {std::string(16, ' '), std::string(16, ' ')};
    std::vector<Client> clients;
    bool terminal = false;
    bool quit = false;
    std::optional<std::chrono::steady_clock::time_point> releaseAt;
    unsigned releaseLine = BUTTON_LINE;
} board;

// Inodes: 1 root, 2 i2c-0, then per GPIO line a directory (3 + 2k) and its value file (4 + 2k).
Line* lineOfInode(fuse_ino_t ino) {
    if (ino < FIRST_GPIO || (ino - FIRST_GPIO) / 2 >= board.lines.size()) {
        return nullptr;
    }
    return &board.lines[(ino - FIRST_GPIO) / 2];
}
bool isValueFile(fuse_ino_t ino) {
    return lineOfInode(ino) && (ino - FIRST_GPIO) % 2 == 1;
}
bool isDirectory(fuse_ino_t ino) {
    return ino == ROOT || (lineOfInode(ino) && (ino - FIRST_GPIO) % 2 == 0);
}
Line* findLine(unsigned number) {
    for (Line& line : board.lines) {
        if (line.number == number) {
            return &line;
        }
    }
    return nullptr;
}

std::string hexOf(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

char shown(uint8_t code) {
    switch (code) {
        case 0xC5:
            return '+';
        case 0xC6:
            return 'x';
        case 0xCD:
            return '.';
        default:
            return code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?';
    }
}

void draw() {
    if (board.terminal) {
        printf(
            "\x1b[H\x1b[2J+----------------+\n|%s|\n|%s|\n+----------------+\n"
            "button %c   (space: press, q: quit)\n",
            board.screen[0].c_str(), board.screen[1].c_str(),
            findLine(BUTTON_LINE) ? findLine(BUTTON_LINE)->value : '-');
    } else {
        printf("display |%s|%s|\n", board.screen[0].c_str(), board.screen[1].c_str());
    }
    fflush(stdout);
}

void sendLine(Client& client, const std::string& text) {
    std::string line = text + "\n";
    if (client.fd >= 0 && send(client.fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
                              static_cast<ssize_t>(line.size())) {
        close(client.fd);  // a reader that cannot keep up is dropped, never waited for
        client.fd = -1;
    }
}

void recordFrame(const std::vector<uint8_t>& frame) {
    board.frames.push_back(frame);
    size_t index = board.frames.size() - 1;
    if (frame.size() >= 2 && frame[0] == 0x01) {
        board.screen[0] = board.screen[1] = std::string(16, ' ');
        int row = 0;
        size_t column = 0;
        for (size_t i = 1; i < frame.size() && frame[i] != 0x00; ++i) {
            if (frame[i] == '\n') {
                row++;
                column = 0;
            } else if (row < 2 && column < 16) {
                board.screen[row][column++] = shown(frame[i]);
            }
        }
    } else if (frame.size() == 1 && frame[0] == 0x03) {
        board.screen[0] = board.screen[1] = std::string(16, ' ');
    }
    for (Client& client : board.clients) {
        if (client.watching) {
            sendLine(client, "frame " + std::to_string(index) + " " + hexOf(frame));
        }
    }
    draw();
}

void setLine(Line& line, char value) {
    if (line.value == value) {
        return;
    }
    line.value = value;
    line.events++;
    for (auto& [fh, file] : board.files) {
        if (file.poll != nullptr && lineOfInode(file.ino) == &line) {
            fuse_lowlevel_notify_poll(file.poll);
            fuse_pollhandle_destroy(file.poll);
            file.poll = nullptr;
        }
    }
    if (board.terminal && line.number == BUTTON_LINE) {
        draw();
    }
}

// --- FUSE operations ---

struct stat attributes(fuse_ino_t ino) {
    struct stat st {};
    st.st_ino = ino;
    st.st_uid = getuid();
    st.st_gid = getgid();
    if (isDirectory(ino)) {
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
    } else if (ino == I2C) {
        st.st_mode = S_IFREG | 0600;
        st.st_nlink = 1;
    } else {
        st.st_mode = S_IFREG | 0444;
        st.st_nlink = 1;
        st.st_size = 4096;
    }
    return st;
}

bool exists(fuse_ino_t ino) {
    return ino == ROOT || ino == I2C || lineOfInode(ino) != nullptr;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_ino_t found = 0;
    if (parent == ROOT && strcmp(name, "i2c-0") == 0) {
        found = I2C;
    } else if (parent == ROOT) {
        for (size_t k = 0; k < board.lines.size(); ++k) {
            if (name == "gpio" + std::to_string(board.lines[k].number)) {
                found = FIRST_GPIO + 2 * k;
            }
        }
    } else if (isDirectory(parent) && strcmp(name, "value") == 0) {
        found = parent + 1;
    }
    if (found == 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param entry{};
    entry.ino = found;
    entry.attr = attributes(found);
    entry.attr_timeout = 1.0;
    entry.entry_timeout = 1.0;
    fuse_reply_entry(req, &entry);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    if (!exists(ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st = attributes(ino);
    fuse_reply_attr(req, &st, 1.0);
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    if (!isDirectory(ino)) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<std::pair<std::string, fuse_ino_t>> entries = {{".", ino}, {"..", ROOT}};
    if (ino == ROOT) {
        entries.emplace_back("i2c-0", I2C);
        for (size_t k = 0; k < board.lines.size(); ++k) {
            entries.emplace_back("gpio" + std::to_string(board.lines[k].number),
                                 FIRST_GPIO + 2 * k);
        }
    } else {
        entries.emplace_back("value", ino + 1);
    }
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t i = static_cast<size_t>(offset); i < entries.size(); ++i) {
        struct stat st = attributes(entries[i].second);
        size_t need = fuse_add_direntry(req, buffer.data() + used, size - used,
                                        entries[i].first.c_str(), &st, static_cast<off_t>(i + 1));
        if (need > size - used) {
            break;
        }
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (isDirectory(ino)) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    if (isValueFile(ino) && (fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EACCES);
        return;
    }
    uint64_t fh = board.nextFile++;
    OpenFile file{ino, -1, 0, nullptr};
    if (Line* line = lineOfInode(ino)) {
        file.seen = line->events;
    }
    board.files[fh] = file;
    fi->fh = fh;
    fi->direct_io = 1;  // every read and write reaches the simulator, none is cached
    fuse_reply_open(req, fi);
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    auto it = board.files.find(fi->fh);
    if (it != board.files.end()) {
        if (it->second.poll != nullptr) {
            fuse_pollhandle_destroy(it->second.poll);
        }
        board.files.erase(it);
    }
    fuse_reply_err(req, 0);
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    if (!isValueFile(ino)) {
        fuse_reply_err(req, EIO);  // the display answers no reads
        return;
    }
    Line* line = lineOfInode(ino);
    board.files[fi->fh].seen = line->events;
    char content[2] = {line->value, '\n'};
    size_t start = std::min<size_t>(static_cast<size_t>(offset), sizeof content);
    fuse_reply_buf(req, content + start, std::min(size, sizeof content - start));
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t,
             fuse_file_info* fi) {
    if (ino != I2C) {
        fuse_reply_err(req, EPERM);
        return;
    }
    if (board.files[fi->fh].address != static_cast<int>(DISPLAY_ADDRESS)) {
        fuse_reply_err(req, EREMOTEIO);
        return;
    }
    recordFrame(std::vector<uint8_t>(data, data + size));
    fuse_reply_write(req, size);
}

void opIoctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void* arg, fuse_file_info* fi,
             unsigned, const void*, size_t, size_t) {
    if (ino != I2C || cmd != I2C_SLAVE_REQUEST) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    unsigned long address = reinterpret_cast<uintptr_t>(arg);
    if (address != DISPLAY_ADDRESS) {
        fuse_reply_err(req, address > 0x7F ? EINVAL : ENXIO);
        return;
    }
    board.files[fi->fh].address = static_cast<int>(address);
    fuse_reply_ioctl(req, 0, nullptr, 0);
}

void opPoll(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi, fuse_pollhandle* ph) {
    OpenFile& file = board.files[fi->fh];
    if (file.poll != nullptr) {
        fuse_pollhandle_destroy(file.poll);
        file.poll = nullptr;
    }
    unsigned events = POLLIN | POLLRDNORM | POLLOUT | POLLWRNORM;
    Line* line = isValueFile(ino) ? lineOfInode(ino) : nullptr;
    if (line != nullptr && file.seen != line->events) {
        events |= POLLPRI | POLLERR;
    }
    if (ph != nullptr) {
        if (line != nullptr) {
            file.poll = ph;
        } else {
            fuse_pollhandle_destroy(ph);
        }
    }
    fuse_reply_poll(req, events);
}

// The I2C bus as a character device: the same operations as the file i2c-0.
void cuseOpen(fuse_req_t req, fuse_file_info* fi) {
    opOpen(req, I2C, fi);
}
void cuseRelease(fuse_req_t req, fuse_file_info* fi) {
    opRelease(req, I2C, fi);
}
void cuseRead(fuse_req_t req, size_t size, off_t offset, fuse_file_info* fi) {
    opRead(req, I2C, size, offset, fi);
}
void cuseWrite(fuse_req_t req, const char* data, size_t size, off_t offset, fuse_file_info* fi) {
    opWrite(req, I2C, data, size, offset, fi);
}
void cuseIoctl(fuse_req_t req, int cmd, void* arg, fuse_file_info* fi, unsigned flags,
               const void* in, size_t inSize, size_t outSize) {
    opIoctl(req, I2C, static_cast<unsigned>(cmd), arg, fi, flags, in, inSize, outSize);
}
void cuseInitDone(void* name) {
    printf("device /dev/%s\n", static_cast<const char*>(name));
    fflush(stdout);
}

// A session for the device /dev/`name`, served through its own descriptor of /dev/cuse.
fuse_session* newCuseSession(const std::string& name) {
    std::string devname = "DEVNAME=" + name;  // copied by cuse_lowlevel_new
    const char* info[] = {devname.c_str()};
    cuse_info ci{};
    ci.dev_info_argc = 1;
    ci.dev_info_argv = info;
    cuse_lowlevel_ops ops{};
    ops.init_done = cuseInitDone;
    ops.open = cuseOpen;
    ops.release = cuseRelease;
    ops.read = cuseRead;
    ops.write = cuseWrite;
    ops.ioctl = cuseIoctl;
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "boardsim");
    static std::string shownName;  // for cuseInitDone, which runs in the loop
    shownName = name;
    fuse_session* session = cuse_lowlevel_new(&args, &ci, &ops, shownName.data());
    fuse_opt_free_args(&args);
    int fd = open("/dev/cuse", O_RDWR | O_CLOEXEC | O_NONBLOCK);  // see serveRequest
    std::string channel = "/dev/fd/" + std::to_string(fd);
    if (session == nullptr || fd < 0 || fuse_session_mount(session, channel.c_str()) != 0) {
        fprintf(stderr, "boardsim: unable to provide /dev/%s: %s\n", name.c_str(),
                fd < 0 ? strerror(errno) : "no CUSE session");
        if (fd >= 0) {
            close(fd);
        }
        if (session != nullptr) {
            fuse_session_destroy(session);
        }
        return nullptr;
    }
    return session;
}

// Serves one request of `session`; false once the session is gone. The sessions' descriptors do
// not block: a request that poll() announced is gone again when the process that made it is
// killed before we read it, and a blocking read would then wait for the next request, leaving
// the other session and the signals unserved (a client closing the CUSE device would wait on
// us for ever).
bool serveRequest(fuse_session* session, fuse_buf& buffer) {
    int got = fuse_session_receive_buf(session, &buffer);
    if (got == -EINTR || got == -EAGAIN) {
        return true;
    }
    if (got <= 0) {
        return false;  // unmounted from outside
    }
    fuse_session_process_buf(session, &buffer);
    return true;
}

// --- control socket ---

std::string command(const std::string& text) {
    char word[16] = "";
    unsigned number = BUTTON_LINE;
    int fields = sscanf(text.c_str(), "%15s %u", word, &number);
    if (fields < 1) {
        return "error: empty command";
    }
    std::string verb = word;
    if (verb == "press" || verb == "release" || verb == "tap" || verb == "value") {
        Line* line = findLine(number);
        if (line == nullptr) {
            return "error: no such line";
        }
        if (verb == "value") {
            return std::string(1, line->value);
        }
        setLine(*line, verb == "release" ? '1' : '0');
        if (verb == "tap") {
            board.releaseAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(TAP_MS);
            board.releaseLine = number;
        }
        return "ok";
    }
    if (verb == "screen") {
        return "screen " + board.screen[0] + "|" + board.screen[1];
    }
    if (verb == "frames") {
        return "frames " + std::to_string(board.frames.size());
    }
    if (verb == "quit") {
        board.quit = true;
        return "ok";
    }
    return "error: unknown command";
}

void serveClient(Client& client) {
    char chunk[256];
    ssize_t got = recv(client.fd, chunk, sizeof chunk, 0);
    if (got <= 0) {
        close(client.fd);
        client.fd = -1;
        return;
    }
    client.input.append(chunk, static_cast<size_t>(got));
    size_t end;
    while (client.fd >= 0 && (end = client.input.find('\n')) != std::string::npos) {
        std::string text = client.input.substr(0, end);
        client.input.erase(0, end + 1);
        if (text.rfind("watch", 0) == 0) {
            client.watching = true;
            for (size_t i = 0; i < board.frames.size(); ++i) {
                sendLine(client, "frame " + std::to_string(i) + " " + hexOf(board.frames[i]));
            }
        } else {
            sendLine(client, command(text));
        }
    }
    if (client.input.size() > 4096) {
        close(client.fd);
        client.fd = -1;
    }
}

int listenControl(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        fprintf(stderr, "boardsim: control path too long\n");
        return -1;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        listen(fd, 8) < 0) {
        perror("boardsim: control socket");
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

// --- installing the files over the device paths ---

std::vector<std::string> installed;  // mount points, in the order mounted
std::vector<std::string> covered;    // tmpfs layers laid down by us

bool mountOrWarn(const char* source, const std::string& target, const char* type,
                 unsigned long flags) {
    if (mount(source, target.c_str(), type, flags, nullptr) < 0) {
        fprintf(stderr, "boardsim: mount %s on %s: %s\n", source, target.c_str(), strerror(errno));
        return false;
    }
    installed.push_back(target);
    return true;
}

bool insideCovered(const std::string& path) {
    for (const std::string& root : covered) {
        if (path == root || path.rfind(root + "/", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Lays a tmpfs over `directory` and binds its former entries back in place.
bool cover(const std::string& directory) {
    int old = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (old < 0) {
        perror(("boardsim: " + directory).c_str());
        return false;
    }
    std::vector<std::string> names;
    if (DIR* dir = fdopendir(dup(old))) {
        while (dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    if (!mountOrWarn("tmpfs", directory, "tmpfs", 0)) {
        close(old);
        return false;
    }
    chmod(directory.c_str(), 0755);
    covered.push_back(directory);
    for (const std::string& name : names) {
        std::string target = directory + "/" + name;
        std::string source = "/proc/self/fd/" + std::to_string(old) + "/" + name;
        struct stat st {};
        if (fstatat(old, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) {
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            char link[4096];
            ssize_t n = readlinkat(old, name.c_str(), link, sizeof link - 1);
            if (n >= 0) {
                link[n] = '\0';
                symlink(link, target.c_str());
            }
            continue;
        }
        if (S_ISDIR(st.st_mode) ? mkdir(target.c_str(), 0755) < 0
                                : mknod(target.c_str(), S_IFREG | 0600, 0) < 0) {
            continue;
        }
        mountOrWarn(source.c_str(), target, nullptr, MS_BIND | MS_REC);
    }
    close(old);
    return true;
}

// Makes `target` an existing regular file without creating anything on the real file system.
bool provideFile(const std::string& target) {
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0) {
        return true;
    }
    std::string ancestor = target.substr(0, target.rfind('/'));
    while (!ancestor.empty() && lstat(ancestor.c_str(), &st) < 0) {
        ancestor = ancestor.substr(0, ancestor.rfind('/'));
    }
    if (ancestor.empty()) {
        fprintf(stderr, "boardsim: will not cover /\n");
        return false;
    }
    if (!insideCovered(ancestor) && !cover(ancestor)) {
        return false;
    }
    for (size_t slash = ancestor.size() + 1; (slash = target.find('/', slash)) != std::string::npos;
         ++slash) {
        mkdir(target.substr(0, slash).c_str(), 0755);
    }
    if (mknod(target.c_str(), S_IFREG | 0600, 0) < 0) {
        fprintf(stderr, "boardsim: create %s: %s\n", target.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// False when this process shares the mount namespace of process 1. Where process 1 cannot be
// inspected (a container without that right), the caller's word is taken.
bool privateMountNamespace() {
    struct stat mine {
    }, first{};
    if (stat("/proc/self/ns/mnt", &mine) < 0) {
        return false;
    }
    return stat("/proc/1/ns/mnt", &first) < 0 || mine.st_ino != first.st_ino;
}

bool install(const std::string& mountpoint) {
    if (!privateMountNamespace()) {
        fprintf(stderr, "boardsim: --install refused outside a private mount namespace\n");
        return false;
    }
    std::vector<std::pair<std::string, std::string>> binds = {
        {mountpoint + "/i2c-0", "/dev/i2c-0"}};
    for (const Line& line : board.lines) {
        std::string name = "gpio" + std::to_string(line.number);
        binds.emplace_back(mountpoint + "/" + name + "/value",
                           "/sys/class/gpio/" + name + "/value");
    }
    for (const auto& [source, target] : binds) {
        if (!provideFile(target) || !mountOrWarn(source.c_str(), target, nullptr, MS_BIND)) {
            return false;
        }
    }
    return true;
}

void uninstall() {
    for (auto it = installed.rbegin(); it != installed.rend(); ++it) {
        umount2(it->c_str(), MNT_DETACH);
    }
    installed.clear();
}

// --- terminal ---

termios savedTerminal;

void restoreTerminal() {
    if (board.terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        printf("\n");
    }
}

void rawTerminal() {
    tcgetattr(STDIN_FILENO, &savedTerminal);
    termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

void key(char c) {
    if (c == 'q') {
        board.quit = true;
    } else if (c == ' ' || c == 'p' || c == '\n') {
        command("tap");
    }
}

bool parseLines(const char* list) {
    board.lines.clear();
    for (const char* p = list; *p != '\0';) {
        char* end;
        long number = strtol(p, &end, 10);
        if (end == p || number < 0 || number > 9999 || (*end != ',' && *end != '\0')) {
            return false;
        }
        board.lines.push_back(Line{static_cast<unsigned>(number), '1', 0});
        p = *end == ',' ? end + 1 : end;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mountpoint, controlPath, cuseName;
    bool doInstall = false;
    parseLines("70,63");
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--gpio" && i + 1 < argc) {
            if (!parseLines(argv[++i])) {
                fprintf(stderr, "boardsim: bad GPIO list\n");
                return 2;
            }
        } else if (arg == "--control" && i + 1 < argc) {
            controlPath = argv[++i];
        } else if (arg == "--cuse" && i + 1 < argc) {
            cuseName = argv[++i];
        } else if (arg == "--install") {
            doInstall = true;
        } else if (arg[0] != '-' && mountpoint.empty()) {
            mountpoint = arg;
        } else {
            fputs(USAGE, stderr);
            return 2;
        }
    }
    if (mountpoint.empty()) {
        fputs(USAGE, stderr);
        return 2;
    }
    // A test that dies must not leave its simulator (and so its mounts) behind.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        return 1;
    }
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    // Taken from the signalfd. A handler of its own all the same: as the first process of a
    // PID namespace, boardsim would otherwise never be sent them.
    struct sigaction ignore {};
    ignore.sa_handler = [](int) {};
    for (int stop : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(stop, &ignore, nullptr);
    }
    int signals = signalfd(-1, &stops, SFD_CLOEXEC);

    int control = -1;
    if (!controlPath.empty() && (control = listenControl(controlPath)) < 0) {
        return 1;
    }

    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "boardsim");
    fuse_opt_add_arg(&args, "-oallow_other,fsname=boardsim,subtype=boardsim");
    fuse_lowlevel_ops ops{};
    ops.lookup = opLookup;
    ops.getattr = opGetattr;
    ops.readdir = opReaddir;
    ops.open = opOpen;
    ops.release = opRelease;
    ops.read = opRead;
    ops.write = opWrite;
    ops.ioctl = opIoctl;
    ops.poll = opPoll;
    fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (session == nullptr || fuse_session_mount(session, mountpoint.c_str()) != 0) {
        fprintf(stderr, "boardsim: unable to mount on %s\n", mountpoint.c_str());
        return 1;
    }
    fcntl(fuse_session_fd(session), F_SETFL,
          fcntl(fuse_session_fd(session), F_GETFL) | O_NONBLOCK);  // see serveRequest
    fuse_session* device = nullptr;
    if (!cuseName.empty() && (device = newCuseSession(cuseName)) == nullptr) {
        fuse_session_unmount(session);
        fuse_session_destroy(session);
        return 1;
    }
    // The bind mounts look files up on this very file system, so a child makes them while this
    // process serves the requests; it hands back the list of its mounts for the clean-up.
    int status = 0;
    int installPipe = -1;
    pid_t installer = -1;
    std::string installOutput;
    if (doInstall) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) < 0 || (installer = fork()) < 0) {
            perror("boardsim: install");
            board.quit = true;
            status = 1;
        } else if (installer == 0) {
            close(ends[0]);
            bool ok = install(mountpoint);
            for (const std::string& path : installed) {
                std::string line = path + "\n";
                (void)!write(ends[1], line.data(), line.size());
            }
            _exit(ok ? 0 : 1);
        } else {
            close(ends[1]);
            installPipe = ends[0];
        }
    }

    board.terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    if (board.terminal) {
        rawTerminal();
        draw();
    } else if (!board.quit && installPipe < 0) {
        printf("ready\n");
        fflush(stdout);
    }

    fuse_buf buffer{}, deviceBuffer{};
    while (!board.quit && !fuse_session_exited(session)) {
        std::vector<pollfd> fds = {{fuse_session_fd(session), POLLIN, 0},
                                   {signals, POLLIN, 0},
                                   {control, POLLIN, 0},
                                   {board.terminal ? STDIN_FILENO : -1, POLLIN, 0},
                                   {installPipe, POLLIN, 0},
                                   {device ? fuse_session_fd(device) : -1, POLLIN, 0}};
        for (const Client& client : board.clients) {
            fds.push_back({client.fd, POLLIN, 0});
        }
        int timeout = -1;
        if (board.releaseAt) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *board.releaseAt - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<long>(0, left.count()));
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            perror("boardsim: poll");
            status = 1;
            break;
        }
        if (board.releaseAt && std::chrono::steady_clock::now() >= *board.releaseAt) {
            board.releaseAt.reset();
            if (Line* line = findLine(board.releaseLine)) {
                setLine(*line, '1');
            }
        }
        if ((fds[0].revents != 0 && !serveRequest(session, buffer)) ||
            (fds[5].revents != 0 && !serveRequest(device, deviceBuffer))) {
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if (fds[2].revents & POLLIN) {
            int fd = accept4(control, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                board.clients.push_back(Client{fd, {}, false});
            }
        }
        if (fds[4].revents != 0) {
            char chunk[512];
            ssize_t got = read(installPipe, chunk, sizeof chunk);
            if (got > 0) {
                installOutput.append(chunk, static_cast<size_t>(got));
            } else {
                close(installPipe);
                installPipe = -1;
                int result = 1;
                waitpid(installer, &result, 0);
                for (size_t start = 0, end;
                     (end = installOutput.find('\n', start)) != std::string::npos;
                     start = end + 1) {
                    installed.push_back(installOutput.substr(start, end - start));
                }
                if (result != 0) {
                    status = 1;
                    break;
                }
                if (!board.terminal) {
                    printf("ready\n");
                    fflush(stdout);
                }
            }
        }
        if (fds[3].revents & POLLIN) {
            char c;
            if (read(STDIN_FILENO, &c, 1) == 1) {
                key(c);
            }
        }
        size_t clients = board.clients.size();
        for (size_t i = 0; i < clients && i + 6 < fds.size(); ++i) {
            if (fds[i + 6].revents != 0 && board.clients[i].fd >= 0) {
                serveClient(board.clients[i]);
            }
        }
        std::erase_if(board.clients, [](const Client& c) { return c.fd < 0; });
    }
    restoreTerminal();
    free(buffer.mem);
    free(deviceBuffer.mem);
    uninstall();
    for (Client& client : board.clients) {
        close(client.fd);
    }
    for (auto& [fh, file] : board.files) {
        if (file.poll != nullptr) {
            fuse_pollhandle_destroy(file.poll);
        }
    }
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    if (device != nullptr) {
        fuse_session_destroy(device);  // closes /dev/cuse: the device goes away
    }
    if (control >= 0) {
        close(control);
        unlink(controlPath.c_str());
    }
    return status;
}
