// Many lines answered by one native responder: every line is a pseudo-terminal
// whose far end this program holds, answering each one-word RD request with
// one word after a given wire time, as a station at the end of a cable does.
//
//   lines COUNT WIRE_US    prints COUNT port names, one a line, then answers
//                          on all of them until its standard input closes
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kAnswer = "%01$RD6300"
                            "13\r";

struct Line {
  int fd;
  std::string pending;               // what arrived of the request being read
  std::deque<Clock::time_point> due; // answers owed, by when they leave
};

Line open_line() {
  int near, far;
  char name[256];
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&far, &near, name, &raw, nullptr) != 0) {
    std::perror("openpty");
    std::exit(1);
  }
  std::printf("%s\n", name);
  // The master opens the port by its name; this end only keeps it alive.
  fcntl(far, F_SETFL, fcntl(far, F_GETFL) | O_NONBLOCK);
  return {far, {}, {}};
}

void take_requests(Line &line, Clock::duration wire) {
  char buffer[512];
  ssize_t got;
  while ((got = read(line.fd, buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i < got; ++i) {
      line.pending.push_back(buffer[i]);
      if (buffer[i] == '\r') {
        line.due.push_back(Clock::now() + wire);
        line.pending.clear();
      }
    }
  }
}

void answer_due(Line &line, Clock::time_point now) {
  while (!line.due.empty() && line.due.front() <= now) {
    if (write(line.fd, kAnswer.data(), kAnswer.size()) != static_cast<ssize_t>(kAnswer.size()))
      return;
    line.due.pop_front();
  }
}

// How long the next answer may wait; null when none is owed.
const timespec *until_next(const std::vector<Line> &lines, Clock::time_point now, timespec &left) {
  Clock::time_point next = Clock::time_point::max();
  for (const Line &line : lines)
    if (!line.due.empty() && line.due.front() < next)
      next = line.due.front();
  if (next == Clock::time_point::max())
    return nullptr;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count();
  if (ns < 0)
    ns = 0;
  left = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  return &left;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: lines COUNT WIRE_US\n");
    return 2;
  }
  int count = std::atoi(argv[1]);
  Clock::duration wire = std::chrono::microseconds(std::atol(argv[2]));
  std::vector<Line> lines;
  for (int i = 0; i < count; ++i)
    lines.push_back(open_line());
  std::fflush(stdout);

  std::vector<pollfd> watched(lines.size() + 1);
  for (;;) {
    for (std::size_t i = 0; i < lines.size(); ++i)
      watched[i] = {lines[i].fd, POLLIN, 0};
    watched[lines.size()] = {STDIN_FILENO, POLLIN, 0};
    timespec left;
    if (ppoll(watched.data(), watched.size(), until_next(lines, Clock::now(), left), nullptr) < 0)
      return 1;
    if (watched[lines.size()].revents)
      return 0;
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (watched[i].revents & POLLIN)
        take_requests(lines[i], wire);
    Clock::time_point now = Clock::now();
    for (Line &line : lines)
      answer_due(line, now);
  }
}
