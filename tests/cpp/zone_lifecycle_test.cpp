// A zone's life across deploys: made whole or not at all whoever dies when,
// configurations freed once no live process holds them, the file's mode and
// directory its owner's alone, and another layout's zone left alone.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "algorithms/algorithm.h"
#include "zone/zone_error.h"
#include "zone/zone_mapping.h"
#include "zone_support.h"

namespace vorn {
namespace {

using testing::placement;
using testing::ScratchZone;

// Runs `body` in a child process; its exit status (a signal counts as -1).
template <typename Body>
int in_child(Body&& body) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> files_of(const std::string& zone) {
  std::vector<std::string> found;
  const std::string directory = zone::zone_directory(std::nullopt);
  DIR* listing = opendir(directory.c_str());
  while (dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
    if (std::string(entry->d_name).find(zone) != std::string::npos) found.push_back(entry->d_name);
  }
  if (listing != nullptr) closedir(listing);
  return found;
}

int killed_at = 0;

TEST(ZoneLifecycle, AMakerKilledAtAnyStepLeavesNoZoneOrAWholeOne) {
  for (bool replacing : {false, true}) {
    for (int step = 1; step <= 5; ++step) {
      if (step == 4 && !replacing) continue;
      ScratchZone zone("made");
      const std::string path = zone::zone_path(zone::zone_directory(std::nullopt), zone.name());
      if (replacing) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_EQ(ftruncate(fd, 200000), 0);  // zeros: no zone
        close(fd);
      }
      killed_at = step;
      EXPECT_EQ(in_child([&] {
                  zone::zone_creation_hook = [](int reached) {
                    if (reached == killed_at) raise(SIGKILL);
                  };
                  zone::open_zone(zone.name(), uint64_t{1} << 20);
                  return 0;
                }),
                -1);
      const std::string where = "step " + std::to_string(step) + (replacing ? " replacing" : "");
      const bool named = access(path.c_str(), F_OK) == 0;
      EXPECT_EQ(named, step == 5 || (replacing && step < 4)) << where;
      zone::OpenedZone opened = zone::open_zone(zone.name(), uint64_t{1} << 20);
      EXPECT_EQ(opened.replaced.empty(), !(replacing && step < 4)) << where;
      Algorithm bucket = Algorithm::in_zone("token_bucket", 2, 0, placement(zone.name()));
      EXPECT_TRUE(bucket.check("k").allowed) << where;
      EXPECT_FALSE(bucket.zone_connection()->degraded()) << where;
      EXPECT_EQ(files_of(zone.name()).size(), 1u) << where;  // nothing half-made stays
    }
  }
}

TEST(ZoneLifecycle, AThousandConfigurationsOneAfterAnotherAllConstruct) {
  ScratchZone zone("deploys");
  for (int deploy = 0; deploy < 1000; ++deploy) {
    ASSERT_EQ(in_child([&] {
                Algorithm bucket =
                    Algorithm::in_zone("token_bucket", 1 + deploy, 1, placement(zone.name()));
                return bucket.check("k").allowed && !bucket.zone_connection()->degraded() ? 0 : 1;
              }),
              0)
        << deploy;
  }
  // Only more configurations alive at once than the table holds is refused.
  std::vector<Algorithm> alive;
  for (uint32_t i = 0; i < zone::kMaxConfigs; ++i) {
    alive.push_back(Algorithm::in_zone("fixed_window", 1 + i, 0, placement(zone.name())));
  }
  try {
    Algorithm::in_zone("fixed_window", 1000, 0, placement(zone.name()));
    ADD_FAILURE() << "a configuration beyond the table";
  } catch (const zone::ZoneRefusal& error) {
    EXPECT_NE(std::string(error.what()).find("distinct configurations are in use at once"),
              std::string::npos)
        << error.what();
  }
  alive.pop_back();
  EXPECT_NO_THROW(Algorithm::in_zone("fixed_window", 1000, 0, placement(zone.name())));
}

TEST(ZoneLifecycle, ASizeThePlaceCannotBackIsRefusedNamingBoth) {
  ScratchZone zone("room");
  try {
    Algorithm::in_zone("token_bucket", 2, 0, placement(zone.name(), zone::kMaxZoneBytes));
    ADD_FAILURE() << "a zone larger than the room";
  } catch (const zone::ZoneRefusal& error) {
    const std::string text = error.what();
    EXPECT_NE(text.find("cannot reserve 1099511627776 bytes (1048576 MiB) in "), std::string::npos)
        << text;
    EXPECT_NE(text.find(" free there; give a smaller zone_size / zoneSize"), std::string::npos)
        << text;
  }
  EXPECT_TRUE(files_of(zone.name()).empty());
}

TEST(ZoneLifecycle, TheFileIsTheOwnersAloneWhateverTheUmask) {
  ScratchZone zone("umask");
  const std::string directory = zone::zone_directory(std::nullopt);
  ASSERT_EQ(in_child([&] {
              umask(0277);
              // As if this were the first zone of the user: the directory too.
              unlink((directory + "/.vorn-zones.lock").c_str());
              chmod(directory.c_str(), 0500);
              return Algorithm::in_zone("token_bucket", 2, 0, placement(zone.name()))
                             .zone_connection()
                             ->degraded()
                         ? 1
                         : 0;
            }),
            0);
  struct stat info {};
  ASSERT_EQ(stat(zone::zone_stats(zone.name()).path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(Algorithm::in_zone("token_bucket", 2, 0, placement(zone.name()))
                   .zone_connection()
                   ->degraded());
}

TEST(ZoneLifecycle, ADirectoryOthersCanWriteOrOwnIsRefusedByName) {
  char made[] = "/tmp/vorn-dir-XXXXXX";
  ASSERT_NE(mkdtemp(made), nullptr);
  const std::string directory = made;
  const auto refusal = [&] {
    try {
      Algorithm::in_zone("token_bucket", 2, 0,
                         ZonePlacement{"z", std::nullopt, directory, FailurePolicy::Local});
    } catch (const ZoneError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  chmod(made, 0777);
  EXPECT_EQ(refusal(), "zone directory '" + directory +
                           "' is open to other users (mode 777); name a directory of your own "
                           "that others cannot write");
  chmod(made, 0700);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(made, 12345, 12345), 0);
    EXPECT_NE(refusal().find("' belongs to user 12345;"), std::string::npos) << refusal();
    ASSERT_EQ(chown(made, 0, 0), 0);
  }
  EXPECT_EQ(refusal(), "accepted");
  // The system reads a path only up to a NUL: that would be another place.
  EXPECT_THROW(zone::zone_directory(directory + std::string("\0/elsewhere", 11)), ZoneError);
  zone::remove_zone("z", directory);
  unlink((directory + "/.vorn-zones.lock").c_str());
  rmdir(made);
}

// A release with another layout keeps its zone under another name: neither
// release touches the other's.
TEST(ZoneLifecycle, AnotherLayoutsZoneIsLeftAlone) {
  ScratchZone zone("layouts");
  const std::string directory = zone::zone_directory(std::nullopt);
  const std::string other = directory + "/vorn." + zone.name() + ".zone-v1";
  const int fd = open(other.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(write(fd, "someone else's layout", 21), 21);
  close(fd);
  Algorithm bucket = Algorithm::in_zone("token_bucket", 2, 0, placement(zone.name()));
  EXPECT_TRUE(bucket.check("k").allowed);
  EXPECT_FALSE(bucket.zone_connection()->degraded());
  struct stat info {};
  ASSERT_EQ(stat(other.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 21);
  unlink(other.c_str());
}

}  // namespace
}  // namespace vorn
