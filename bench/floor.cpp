// The floor of the line: one-word RD exchanges with plain file descriptors,
// the fastest any software can be on the same cable.
//
//   floor responder PORT        answer every request with one word, until killed
//   floor master PORT COUNT     COUNT exchanges; prints microseconds per exchange
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int open_raw(const char *port) {
  int fd = open(port, O_RDWR | O_NOCTTY);
  if (fd < 0) {
    std::perror(port);
    std::exit(1);
  }
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// Reads one frame, up to and including its carriage return.
bool read_frame(int fd, std::string &frame) {
  frame.clear();
  char c;
  while (read(fd, &c, 1) == 1) {
    frame.push_back(c);
    if (c == '\r')
      return true;
  }
  return false;
}

void write_all(int fd, const std::string &data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0)
      std::exit(1);
    done += static_cast<std::size_t>(n);
  }
}

const std::string kRequest = "%01#RDD0010000100"
                             "55\r";
const std::string kAnswer = "%01$RD6300"
                            "13\r";

int responder(const char *port) {
  int fd = open_raw(port);
  std::string frame;
  while (read_frame(fd, frame))
    write_all(fd, kAnswer);
  return 0;
}

int master(const char *port, int count) {
  int fd = open_raw(port);
  std::string frame;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    write_all(fd, kRequest);
    if (!read_frame(fd, frame) || frame != kAnswer)
      return 1;
  }
  std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
  std::printf("%.2f\n", spent.count() / count);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "responder") == 0)
    return responder(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "master") == 0)
    return master(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: floor responder PORT | floor master PORT COUNT\n");
  return 2;
}
