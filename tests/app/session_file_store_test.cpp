// Session files on disk: the written bytes, what the reader refuses and why, and what an
// interrupted save leaves behind.

#include "app/session_file_store.h"

#include "session_test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestravon::ruvi {
namespace {

using Json = nlohmann::json;
using testing::minimalSessionPayload;
using testing::readWholeFile;
using testing::replaceOnce;
using testing::runCommand;
using testing::sha256sumOf;
using testing::TempFolder;
using testing::writeWholeFile;

std::string loadError(const std::string& path) {
    try {
        (void)loadSessionFile(path);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(loaded)";
}

std::string saveError(const std::string& path, const Json& payload) {
    try {
        saveSessionFile(path, payload);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(saved)";
}

std::size_t strayTemporaryFiles(const TempFolder& folder) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        const auto name = entry.path().filename().string();
        if (name.starts_with(".kestavel-save-") && name.ends_with(".tmp")) {
            ++count;
        }
    }
    return count;
}

TEST(SessionFileStore, SaveLoadSaveGivesTheSameBytesAndTheDigestOfThePayloadText) {
    TempFolder folder;
    const Json payload = minimalSessionPayload();
    const auto first = folder.file("first.kestavel");
    const auto second = folder.file("second.kestavel");
    saveSessionFile(first, payload);
    const Json loaded = loadSessionFile(first);
    EXPECT_EQ(loaded, payload);
    saveSessionFile(second, loaded);
    EXPECT_EQ(sha256sumOf(first), sha256sumOf(second));
    EXPECT_EQ(sha256sumOf(first).size(), 64u);

    // One compact line in sorted member order, UTF-8 kept as it is, no trailing newline.
    const std::string bytes = readWholeFile(first);
    EXPECT_EQ(bytes, Json::parse(bytes).dump());
    EXPECT_TRUE(bytes.starts_with(R"({"format":"kestravon-live-session","payload":{"native":)"));
    EXPECT_TRUE(bytes.ends_with(R"(","version":1})"));
    EXPECT_NE(bytes.find("Voix \xc3\xa9 \xe2\x99\xab"), std::string::npos);

    // The checksum is the digest of the payload's canonical text, as sha256sum computes it.
    const auto payloadFile = folder.file("payload.json");
    writeWholeFile(payloadFile, payload.dump());
    EXPECT_EQ(Json::parse(bytes).at("sha256"), sha256sumOf(payloadFile));
    EXPECT_EQ(strayTemporaryFiles(folder), 0u);
}

TEST(SessionFileStore, ReindentedOrReorderedFilesLoadAndAChangedValueFailsTheChecksum) {
    TempFolder folder;
    const auto saved = folder.file("saved.kestavel");
    saveSessionFile(saved, minimalSessionPayload());

    const auto indented = folder.file("indented.kestavel");
    ASSERT_EQ(runCommand("python3 -m json.tool --indent 3 '" + saved + "' '" + indented + "'"), 0);
    EXPECT_NE(readWholeFile(indented), readWholeFile(saved));
    EXPECT_EQ(loadSessionFile(indented), minimalSessionPayload());

    // Every object's members written in reverse order, the envelope's included.
    const auto reordered = folder.file("reordered.kestavel");
    const std::string script =
        "import json,sys\n"
        "def rev(v):\n"
        "    if isinstance(v, dict): return {k: rev(v[k]) for k in reversed(list(v))}\n"
        "    if isinstance(v, list): return [rev(x) for x in v]\n"
        "    return v\n"
        "d = json.load(open(sys.argv[1], encoding='utf-8'))\n"
        "open(sys.argv[2], 'w', encoding='utf-8').write(json.dumps(rev(d), ensure_ascii=False))\n";
    writeWholeFile(folder.file("reorder.py"), script);
    ASSERT_EQ(runCommand("python3 '" + folder.file("reorder.py") + "' '" + saved + "' '" +
                         reordered + "'"),
              0);
    EXPECT_TRUE(readWholeFile(reordered).starts_with(R"({"version": 1)"));
    EXPECT_EQ(loadSessionFile(reordered), minimalSessionPayload());

    const auto changed = folder.file("changed.kestavel");
    writeWholeFile(changed, replaceOnce(readWholeFile(indented), "-3.5", "-4.5"));
    EXPECT_EQ(loadError(changed),
              "Cannot load session: Session checksum does not match its payload.");
}

TEST(SessionFileStore, NestingIsBoundedByTheEnvelopeLevelAndBracketsInStringsDoNotCount) {
    TempFolder folder;
    // The envelope is level 1, the payload 2, "uiState" 3: 61 more arrays reach level 64.
    Json deep = Json::array();
    for (int level = 64; level > 4; --level) {
        deep = Json::array({deep});
    }
    Json payload = minimalSessionPayload();
    payload["uiState"]["deep"] = deep;
    payload["uiState"]["brackets"] = "\"[[[[{{{{\\\"";
    const auto path = folder.file("deep.kestavel");
    saveSessionFile(path, payload);
    EXPECT_EQ(loadSessionFile(path), payload);

    // One more level inside the same file is refused before it is parsed.
    const auto arrays = [](int n) {
        return "\"deep\":" + std::string(n, '[') + std::string(n, ']');
    };
    writeWholeFile(path, replaceOnce(readWholeFile(path), arrays(61), arrays(62)));
    EXPECT_EQ(loadError(path), "Cannot load session: Session nesting exceeds 64 levels.");
}

TEST(SessionFileStore, BadFilesAreRefusedWithTheirOwnMessages) {
    TempFolder folder;
    const auto good = folder.file("good.kestavel");
    saveSessionFile(good, minimalSessionPayload());
    const std::string valid = readWholeFile(good);
    std::string upper = valid;
    const auto digestAt = valid.find("\"sha256\":\"") + 10;
    for (std::size_t i = digestAt; i < digestAt + 64; ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    }
    const std::string open = "{\"s\":\"\\\"[[[{{\\\\\",\"a\":";
    const auto nested = [&](int arrays) {
        return open + std::string(arrays, '[') + std::string(arrays, ']') + "}";
    };
    Json noNodes = minimalSessionPayload();
    noNodes["native"]["nodes"] = Json::array();

    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;
        std::string error; // after "Cannot load session: "
    };
    const auto bytes = [](std::string content) {
        return [content](const std::string& path) { writeWholeFile(path, content); };
    };
    const auto sized = [](off_t size, char fill) {
        return [size, fill](const std::string& path) {
            writeWholeFile(path, std::string(1, fill));
            ASSERT_EQ(::truncate(path.c_str(), size), 0);
        };
    };
    const Case cases[] = {
        {"empty", bytes(""), "Session file must contain 1 byte to 64 MiB."},
        {"over 64 MiB", sized(67108865, '{'), "Session file must contain 1 byte to 64 MiB."},
        // Read whole and parsed: an empty array padded with spaces to exactly 64 MiB.
        {"exactly 64 MiB", bytes("[" + std::string(67108862, ' ') + "]"),
         "Invalid session envelope fields."},
        {"64 levels with brackets inside strings", bytes(nested(63)),
         "Invalid session envelope fields."},
        {"65 levels", bytes(nested(64)), "Session nesting exceeds 64 levels."},
        {"truncated", bytes(valid.substr(0, valid.size() - 1)), "Truncated session JSON."},
        {"ends inside a string", bytes(valid.substr(0, 20)), "Truncated session JSON."},
        {"closing bracket first", bytes("]{}"), "Invalid session JSON structure."},
        // The parser would stop at the NUL and open the valid envelope before it.
        {"a NUL byte, then more text", bytes(valid + std::string(1, '\0') + "{\"x\": [1]}"),
         "Session file contains a NUL byte."},
        {"not JSON", bytes(R"({"format" 1})"), "[json.exception.parse_error.101]"},
        {"comment", bytes("{/* note */}"), "[json.exception.parse_error.101]"},
        {"extra envelope member",
         bytes(replaceOnce(valid, "\"version\":1}", "\"version\":1,\"x\":0}")),
         "Invalid session envelope fields."},
        {"renamed envelope member", bytes(replaceOnce(valid, "\"sha256\":", "\"sha257\":")),
         "Missing session envelope field: sha256."},
        {"version 1.0", bytes(replaceOnce(valid, "\"version\":1}", "\"version\":1.0}")),
         "Unsupported session format or version."},
        {"version 2", bytes(replaceOnce(valid, "\"version\":1}", "\"version\":2}")),
         "Unsupported session format or version."},
        {"other format", bytes(replaceOnce(valid, "live-session", "live-sessions")),
         "Unsupported session format or version."},
        {"upper-case hex", bytes(upper), "Invalid session checksum."},
        {"short checksum", bytes(replaceOnce(valid, valid.substr(digestAt, 64), "abc")),
         "Invalid session checksum."},
        {"payload rule before checksum",
         bytes(replaceOnce(valid, Json(minimalSessionPayload()).dump(), noNodes.dump())),
         "Invalid native session format or node count."},
        {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); },
         "Cannot open session file (system error 21)."},
        {"missing", [](const std::string&) {}, "Cannot open session file (system error 2)."},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = folder.file("bad-" + std::to_string(n++) + ".kestavel");
        c.make(path);
        const std::string error = loadError(path);
        if (c.error.starts_with("[json.exception")) {
            EXPECT_TRUE(error.starts_with("Cannot load session: " + c.error)) << error;
        } else {
            EXPECT_EQ(error, "Cannot load session: " + c.error);
        }
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

TEST(SessionFileStore, AFifoIsRefusedAtOnceInsteadOfWaitingForAWriter) {
    TempFolder folder;
    const auto fifo = folder.file("pipe.kestavel");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto load = std::async(std::launch::async, [&] { return loadError(fifo); });
    // Ten seconds is an open that blocked on the FIFO, not one that was slow to refuse it.
    if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Release the blocked open so the test can end.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ADD_FAILURE() << "the open of a FIFO blocked";
        load.wait();
        if (writer >= 0) {
            ::close(writer);
        }
        return;
    }
    EXPECT_EQ(load.get(), "Cannot load session: Cannot open session file (system error 22).");
}

TEST(SessionFileStore, FailedSavesSayWhyAndLeaveTheTargetAndNoTemporaryFile) {
    TempFolder folder;
    const auto target = folder.file("kept.kestavel");
    saveSessionFile(target, minimalSessionPayload());
    const std::string before = readWholeFile(target);

    Json badText = minimalSessionPayload();
    badText["uiState"]["title"] = std::string("\xff\xfe");
    Json badRule = minimalSessionPayload();
    badRule.erase("sceneStates");
    std::filesystem::create_directory(folder.file("occupied.kestavel"));
    writeWholeFile(folder.file("occupied.kestavel/inside"), "x");

    EXPECT_EQ(saveError("", minimalSessionPayload()),
              "Cannot save session: Choose a session filename.");
    EXPECT_EQ(saveError(folder.file("sub") + "/", minimalSessionPayload()),
              "Cannot save session: Choose a session filename.");
    EXPECT_EQ(saveError(target, badRule), "Cannot save session: Invalid session payload fields.");
    EXPECT_TRUE(saveError(target, badText)
                    .starts_with("Cannot save session: [json.exception.type_error.316]"));
    EXPECT_EQ(saveError(folder.file("missing/x.kestavel"), minimalSessionPayload()),
              "Cannot save session: Cannot create temporary session file (system error 2).");
    EXPECT_EQ(saveError(folder.file("occupied.kestavel"), minimalSessionPayload()),
              "Cannot save session: Cannot atomically replace session file (system error 21).");
    EXPECT_EQ(readWholeFile(target), before);
    EXPECT_EQ(strayTemporaryFiles(folder), 0u);
}

int failingFolderSync(const std::string&) {
    return EIO;
}

// Once the new file is renamed into place the save has happened: a folder that cannot be
// flushed afterwards is reported as a doubt about durability, not as a failed save.
TEST(SessionFileStore, AFolderFlushThatFailsAfterTheRenameIsAWarningNotAFailure) {
    TempFolder folder;
    const auto target = folder.file("show.kestavel");
    saveSessionFile(target, minimalSessionPayload());
    Json next = minimalSessionPayload();
    next["uiState"]["title"] = "Second set";

    setSessionFolderSync(&failingFolderSync);
    std::string warning;
    EXPECT_NO_THROW(warning = saveSessionFile(target, next));
    setSessionFolderSync(nullptr);
    EXPECT_EQ(warning, "Session saved, but its folder could not be flushed to disk (system error " +
                           std::to_string(EIO) + "); the save may not survive a power failure.");
    EXPECT_EQ(loadSessionFile(target), next) << "the new file stands";
    EXPECT_EQ(strayTemporaryFiles(folder), 0u);
    EXPECT_EQ(saveSessionFile(target, minimalSessionPayload()), "") << "a flushed folder";
}

// A replaced file keeps its permission bits; a new one takes the umask's. A symbolic link
// stays a link, and the file it points to (in another folder) takes the new session.
TEST(SessionFileStore, AReplacedFileKeepsItsModeAndALinkedFileIsReplacedThroughItsLink) {
    TempFolder folder;
    const auto mode = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    };
    Json next = minimalSessionPayload();
    next["uiState"]["title"] = "Second set";

    const auto shared = folder.file("shared.kestavel");
    saveSessionFile(shared, minimalSessionPayload());
    const mode_t umask = ::umask(0);
    ::umask(umask);
    EXPECT_EQ(mode(shared), 0666u & ~umask);
    for (const mode_t kept : {0600u, 0640u, 0664u}) {
        ASSERT_EQ(::chmod(shared.c_str(), kept), 0);
        saveSessionFile(shared, next);
        EXPECT_EQ(mode(shared), kept);
        EXPECT_EQ(loadSessionFile(shared), next);
    }

    std::filesystem::create_directory(folder.file("library"));
    const auto real = folder.file("library/show.kestavel");
    saveSessionFile(real, minimalSessionPayload());
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    std::filesystem::create_directory(folder.file("desk"));
    const auto link = folder.file("desk/show.kestavel");
    const auto hop = folder.file("desk/latest.kestavel");
    std::filesystem::create_symlink("../library/show.kestavel", link);
    std::filesystem::create_symlink("show.kestavel", hop); // a link to the link
    saveSessionFile(hop, next);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_symlink(hop));
    EXPECT_EQ(loadSessionFile(real), next);
    EXPECT_EQ(mode(real), 0640u);
    EXPECT_EQ(strayTemporaryFiles(folder), 0u);

    // A link whose file does not exist yet: the file is created where the link points.
    const auto dangling = folder.file("desk/new.kestavel");
    std::filesystem::create_symlink(folder.file("library/new.kestavel"), dangling);
    saveSessionFile(dangling, next);
    EXPECT_TRUE(std::filesystem::is_symlink(dangling));
    EXPECT_EQ(loadSessionFile(folder.file("library/new.kestavel")), next);

    // A loop of links is refused and leaves nothing behind.
    std::filesystem::create_symlink("loop-b", folder.file("desk/loop-a"));
    std::filesystem::create_symlink("loop-a", folder.file("desk/loop-b"));
    EXPECT_EQ(saveError(folder.file("desk/loop-a"), next),
              "Cannot save session: Cannot create temporary session file (system error " +
                  std::to_string(ELOOP) + ").");
}

TEST(SessionFileStore, ThirtyTwoTakenTemporaryNamesRefuseTheSave) {
    TempFolder folder;
    const auto target = folder.file("kept.kestavel");
    saveSessionFile(target, minimalSessionPayload());
    const std::string before = readWholeFile(target);
    // The names this thread would draw next; the counter has advanced only a few times yet.
    const std::string prefix = ".kestavel-save-" + std::to_string(::getpid()) + "-" +
                               std::to_string(static_cast<long>(::gettid())) + "-";
    for (int sequence = 1; sequence <= 2000; ++sequence) {
        writeWholeFile(folder.file(prefix + std::to_string(sequence) + ".tmp"), "");
    }
    EXPECT_EQ(saveError(target, minimalSessionPayload()),
              "Cannot save session: Cannot obtain a unique temporary session file.");
    EXPECT_EQ(readWholeFile(target), before);
}

TEST(SessionFileStore, TheFolderOfATargetIsItsParentAndRootStaysRoot) {
    const std::pair<const char*, const char*> cases[] = {
        {"/x.kestavel", "/"},        {"/show/x.kestavel", "/show"}, {"/show//x.kestavel", "/show"},
        {"/a/b/c.kestavel", "/a/b"}, {"//x.kestavel", "/"},
    };
    for (const auto& [path, folder] : cases) {
        EXPECT_EQ(sessionFolderOf(path), folder) << path;
    }
}

TEST(SessionFileStore, ARelativeTargetIsWrittenBesideTheCurrentFolder) {
    TempFolder folder;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    const std::string error = saveError("relative.kestavel", minimalSessionPayload());
    std::filesystem::current_path(cwd);
    EXPECT_EQ(error, "(saved)");
    EXPECT_EQ(loadSessionFile(folder.file("relative.kestavel")), minimalSessionPayload());
}

// A save killed at any moment leaves either the old or the new file under the target name,
// and at most the one temporary file it was writing.
TEST(SessionFileStore, ASaveKilledAtAnyMomentNeverLeavesABrokenTarget) {
    TempFolder folder;
    const auto target = folder.file("show.kestavel");
    Json small = minimalSessionPayload();
    Json large = minimalSessionPayload();
    large["uiState"]["notes"] = std::string(1 << 20, 'n');
    saveSessionFile(target, small);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                try {
                    saveSessionFile(target, i % 2 == 0 ? large : small);
                } catch (...) {
                    ::_exit(3);
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1 + (round * 7) % 23));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child stopped by itself";
        const Json loaded = loadSessionFile(target);
        EXPECT_TRUE(loaded == small || loaded == large);
        EXPECT_LE(strayTemporaryFiles(folder), 1u);
        for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
            if (entry.path().filename().string().starts_with(".kestavel-save-")) {
                std::filesystem::remove(entry.path());
            }
        }
    }
}

} // namespace
} // namespace kestravon::ruvi

namespace kestravon::ruvi {
namespace {

// The fuzzer starts from these; each must be a file the reader accepts, or it explores nothing
// past the checksum. Kept crash inputs replay here too and only have to be answered.
TEST(SessionFileStore, FuzzSeedsLoadAndKeptCrashInputsAreAnswered) {
    const std::filesystem::path root = RUVI_SOURCE_DIR "/fuzz";
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root / "corpus/session_file")) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_NO_THROW((void)sessionPayloadFromBytes(testing::readWholeFile(entry.path())));
        ++seeds;
    }
    EXPECT_GT(seeds, 0u);
    const auto kept = root / "regressions/session_file";
    if (std::filesystem::exists(kept)) {
        for (const auto& entry : std::filesystem::directory_iterator(kept)) {
            try {
                (void)sessionPayloadFromBytes(testing::readWholeFile(entry.path()));
            } catch (const std::exception&) {
            }
        }
    }
}

} // namespace
} // namespace kestravon::ruvi
