#include "agent/io/pipe_opener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "temp_dir.h"

namespace {

using std::chrono::milliseconds;

TEST(PipeOpener, WaitsForAMissingPeerAreBounded) {
  Temp_Dir tmp;
  const std::string fifo = tmp.file("p");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string error;
  const auto start = Pipe_Opener::Clock::now();
  EXPECT_EQ(Pipe_Opener::open_write(fifo, O_CLOEXEC, false, milliseconds(300), error), -1);
  EXPECT_EQ(error, "no reader opened '" + fifo + "' within 0 seconds");
  EXPECT_EQ(Pipe_Opener::open_read(fifo, O_CLOEXEC, false, milliseconds(300), error), -1);
  EXPECT_EQ(error, "no writer opened '" + fifo + "' within 0 seconds");
  const auto took = Pipe_Opener::Clock::now() - start;
  EXPECT_GE(took, milliseconds(600));
  EXPECT_LT(took, milliseconds(5000));

  // Missing paths fail at once unless they are to be waited for.
  const std::string missing = tmp.file("missing");
  EXPECT_EQ(Pipe_Opener::open_read(missing, O_CLOEXEC, false, std::chrono::seconds(60), error), -1);
  EXPECT_EQ(error, "failed to open '" + missing + "' for reading: No such file or directory");
  EXPECT_EQ(Pipe_Opener::open_read(missing, O_CLOEXEC, true, milliseconds(100), error), -1);
  EXPECT_EQ(error, "'" + missing + "' did not appear within 0 seconds");
}

TEST(PipeOpener, APeerThatComesLaterIsServedInBlockingMode) {
  Temp_Dir tmp;
  const std::string fifo = tmp.file("later");
  // The pipe appears, and its writer comes, after the reader started waiting.
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(100));
    ::mkfifo(fifo.c_str(), 0600);
    int fd = ::open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    std::this_thread::sleep_for(milliseconds(100));
    (void)!::write(fd, "x", 1);
    ::close(fd);
  });
  std::string error;
  int fd = Pipe_Opener::open_read(fifo, O_CLOEXEC, true, std::chrono::seconds(10), error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  char c = 0;
  EXPECT_EQ(::read(fd, &c, 1), 1);
  EXPECT_EQ(c, 'x');
  ::close(fd);
  writer.join();

  // A reader that comes later gets what is written.
  std::thread reader([&] {
    std::this_thread::sleep_for(milliseconds(100));
    int in = ::open(fifo.c_str(), O_RDONLY);
    char got = 0;
    if (in >= 0 && ::read(in, &got, 1) == 1 && got == 'y') c = 'y';
    if (in >= 0) ::close(in);
  });
  fd = Pipe_Opener::open_write(fifo, O_CLOEXEC, false, std::chrono::seconds(10), error);
  ASSERT_GE(fd, 0) << error;
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(::write(fd, "y", 1), 1);
  ::close(fd);
  reader.join();
  EXPECT_EQ(c, 'y');
}

}  // namespace
