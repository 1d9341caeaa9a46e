#include "bench/trivial_receiver.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace farspeak::bench {

int runTrivialReceiver(std::uint16_t port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0)
    return 1;
  std::vector<pollfd> watched{{listener, POLLIN, 0}};
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    if (poll(watched.data(), watched.size(), -1) < 0)
      continue;
    if (watched[0].revents != 0) {
      if (const int client = accept(listener, nullptr, nullptr); client >= 0)
        watched.push_back({client, POLLIN, 0});
    }
    for (std::size_t index = 1; index < watched.size(); ++index) {
      if (watched[index].revents == 0)
        continue;
      const ssize_t got = read(watched[index].fd, buffer.data(), buffer.size());
      if (got <= 0) {
        close(watched[index].fd);
        watched[index--] = watched.back();
        watched.pop_back();
        continue;
      }
      for (ssize_t written = 0; written < got;) {
        const ssize_t put = write(STDOUT_FILENO, buffer.data() + written, got - written);
        if (put <= 0)
          return 1;
        written += put;
      }
    }
  }
}

}  // namespace farspeak::bench
