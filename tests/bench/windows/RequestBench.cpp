// Front end against floor: each round runs a Drive Create and a Drive Delete through corvane.exe
// and through the floor program, each as a process of its own from start to exit, alternating
// which goes first, and reports the medians and the front end's overhead. Then eight adds of
// eight letters (and their removes) through corvane.exe, started together against one after
// another. Then a links file of twenty drives applied, against twenty adds, and applied again
// once all are in force, against a list; and the restore pass with twenty letters of machine
// policy in force against twenty stored ones. Figures, not a test: a round in which the service
// manager did not start the service gives no figure but its reason, and only a wrong outcome
// reported by corvane fails the run.
//
//   RequestBench.exe ROUNDS FRONTEND FLOOR TARGET
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Series {
  std::vector<double> milliseconds;
  double Median() {
    std::sort(milliseconds.begin(), milliseconds.end());
    const std::size_t n = milliseconds.size();
    return n == 0 ? 0 : n % 2 ? milliseconds[n / 2]
                              : (milliseconds[n / 2 - 1] + milliseconds[n / 2]) / 2;
  }
};

// Runs a program to its end and gives its exit code (-1 when it could not be run); the time it
// took joins the series when it exited with 0.
intptr_t Time(const std::vector<const wchar_t*>& command, Series& series) {
  std::vector<const wchar_t*> argv = command;
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const intptr_t code = _wspawnv(_P_WAIT, argv[0], argv.data());
  const auto end = std::chrono::steady_clock::now();
  if (code != 0) {
    std::fwprintf(stderr, L"%ls %ls exited with %lld\n", argv[0], argv[1],
                  static_cast<long long>(code));
    return code;
  }
  series.milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  return 0;
}

const wchar_t* const kLetters[] = {L"K:", L"L:", L"M:", L"N:", L"O:", L"P:", L"Q:", L"R:"};

// How a run of eight went: the time from the first start to the last exit, and each exit code.
struct EightRun {
  double milliseconds = 0;
  std::vector<intptr_t> codes;
};

// Eight corvane commands, one letter each: started together, or one after another.
EightRun Eight(const wchar_t* frontEnd, const wchar_t* verb, const wchar_t* target, bool together) {
  EightRun run;
  std::vector<intptr_t> running;
  const auto start = std::chrono::steady_clock::now();
  for (const wchar_t* letter : kLetters) {
    const wchar_t* argv[] = {frontEnd, verb, L"drive", letter, target, nullptr};
    if (together) {
      running.push_back(_wspawnv(_P_NOWAIT, frontEnd, argv));
    } else {
      run.codes.push_back(_wspawnv(_P_WAIT, frontEnd, argv));
    }
  }
  for (intptr_t process : running) {
    int code = -1;
    run.codes.push_back(process != -1 && _cwait(&code, process, 0) != -1 ? code : -1);
  }
  const auto end = std::chrono::steady_clock::now();
  run.milliseconds = std::chrono::duration<double, std::milli>(end - start).count();
  return run;
}

// A start the service manager did not make: given up on as too busy (1053), or failed inside
// Wine's manager (1359) when many starts meet. corvane reports it and changes nothing; the round
// gives no figure.
bool NotStarted(intptr_t code) {
  return code == 1053 || code == 1359;
}

// Runs a command that puts the machine back for the next round, again while the service manager
// does not start the service; its last exit code.
intptr_t Settle(const std::vector<const wchar_t*>& command) {
  Series ignored;
  intptr_t code = -1;
  for (int attempt = 0; attempt < 5 && code != 0; ++attempt) {
    code = Time(command, ignored);
    if (!NotStarted(code)) break;
  }
  return code;
}

// Runs `rounds` rounds of `oneRound(round)` (its first failing exit code, or 0). A round whose start the
// service manager did not make gives no further figure: it is said, and `putBack` readies the
// machine for the next. False on any other failure, or when the machine cannot be put back.
template <typename Round, typename PutBack>
bool RunRounds(int rounds, const wchar_t* figures, Round oneRound, PutBack putBack) {
  for (int round = 0; round < rounds; ++round) {
    const intptr_t code = oneRound(round);
    if (code == 0) continue;
    if (!NotStarted(code) || !putBack()) return false;
    std::wprintf(L"Round %d: %ls figures are missing: the service was not started (%d)\n",
                 round + 1, figures, static_cast<int>(code));
  }
  return true;
}

// Whether the eight adds and their removes all did their job. A start the machine was too busy
// to make is no wrong outcome: it is said, with its letter, in `missing`, and the remove of a
// letter so never added finds nothing stored (2). Any other failure is wrong, and said.

bool Succeeded(const EightRun& adds, const EightRun& removes, std::vector<std::wstring>& missing,
               bool& wrong) {
  bool all = true;
  for (std::size_t i = 0; i < std::size(kLetters); ++i) {
    const bool busyAdd = NotStarted(adds.codes[i]);
    if (busyAdd || NotStarted(removes.codes[i])) {
      missing.push_back(std::wstring(busyAdd ? L"add " : L"remove ") + kLetters[i] +
                        L": the service manager did not start the service (" +
                        std::to_wstring(busyAdd ? adds.codes[i] : removes.codes[i]) + L")");
    }
    const bool addWrong = adds.codes[i] != 0 && !busyAdd;
    const bool removeWrong = removes.codes[i] != 0 && !NotStarted(removes.codes[i]) &&
                             !(busyAdd && removes.codes[i] == 2);
    if (addWrong || removeWrong) {
      std::fwprintf(stderr, L"%ls: add exited with %lld, remove with %lld\n", kLetters[i],
                    static_cast<long long>(adds.codes[i]),
                    static_cast<long long>(removes.codes[i]));
      wrong = true;
    }
    all = all && adds.codes[i] == 0 && removes.codes[i] == 0;
  }
  return all;
}

// A links file of twenty letters onto `target`, and an empty one; their paths.
const wchar_t* const kTwenty[] = {L"D:", L"E:", L"F:", L"G:", L"H:", L"I:", L"J:",
                                  L"K:", L"L:", L"M:", L"N:", L"O:", L"P:", L"Q:",
                                  L"R:", L"S:", L"T:", L"U:", L"V:", L"W:"};

bool WriteLinks(const std::wstring& path, const wchar_t* target, bool empty) {
  std::FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) return false;
  std::string folder;
  for (const wchar_t* c = target; *c != 0; ++c) {
    folder += static_cast<char>(*c);
    if (*c == L'\\') folder += '\\';
  }
  std::string json = "[";
  for (const wchar_t* letter : kTwenty) {
    if (empty) break;
    if (json.size() > 1) json += ",\r\n ";
    json += std::string("{\"action\": \"Create\", \"kind\": \"Drive\", \"link\": \"") +
            static_cast<char>(letter[0]) + ":\", \"target\": \"" + folder + "\"}";
  }
  json += "]\r\n";
  const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
  return std::fclose(file) == 0 && written;
}

// Twenty adds one after another against one apply of the twenty, and a second apply, which finds
// them all in force, against a list. False when a command failed.
bool ApplyFigures(const wchar_t* frontEnd, const wchar_t* target, int rounds) {
  const std::wstring links = std::wstring(target) + L"\\links20.json";
  const std::wstring none = std::wstring(target) + L"\\links0.json";
  if (!WriteLinks(links, target, false) || !WriteLinks(none, target, true)) return false;
  Series adds, applyNew, applyAgain, list;
  const auto oneRound = [&](int) -> intptr_t {
    Series one;
    for (const wchar_t* letter : kTwenty) {
      if (const intptr_t code = Time({frontEnd, L"add", L"drive", letter, target}, one)) return code;
    }
    double sum = 0;
    for (double ms : one.milliseconds) sum += ms;
    adds.milliseconds.push_back(sum);
    intptr_t code = Time({frontEnd, L"apply", L"--prune", none.c_str()}, one);
    if (code == 0) code = Time({frontEnd, L"apply", links.c_str()}, applyNew);
    if (code == 0) code = Time({frontEnd, L"apply", links.c_str()}, applyAgain);
    if (code == 0) code = Time({frontEnd, L"list"}, list);
    return code != 0 ? code : Time({frontEnd, L"apply", L"--prune", none.c_str()}, one);
  };
  // What a round that was not started stored is taken off for the next.
  if (!RunRounds(rounds, L"apply", oneRound, [&] {
        return Settle({frontEnd, L"apply", L"--prune", none.c_str()}) == 0;
      })) {
    return false;
  }
  const double addsMedian = adds.Median(), newMedian = applyNew.Median();
  const double againMedian = applyAgain.Median(), listMedian = list.Median();
  std::wprintf(L"Apply 20 new      %7.1f ms   20 adds %7.1f ms   ratio %.2f\n", newMedian,
               addsMedian, newMedian / addsMedian);
  std::wprintf(L"Apply 20 in force %7.1f ms   list    %7.1f ms   ratio %.2f\n", againMedian,
               listMedian, againMedian / listMedian);
  return true;
}

// The letters of machine policy, as Group Policy writes them; false when they cannot be written.
bool WritePolicy(const wchar_t* target, bool present) {
  const wchar_t* const key = L"SOFTWARE\\Policies\\Corvane\\Drives";
  if (!present) {
    const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }
  HKEY drives = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &drives,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool written = true;
  for (const wchar_t* letter : kTwenty) {
    const DWORD size = static_cast<DWORD>((std::wcslen(target) + 1) * sizeof(wchar_t));
    written = written && RegSetValueExW(drives, letter, 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(target), size) == 0;
  }
  RegCloseKey(drives);
  return written;
}

// The restore pass with twenty stored letters in force, against the same pass with twenty letters
// of machine policy in force. False when a command failed.
bool PolicyFigures(const wchar_t* frontEnd, const wchar_t* target, int rounds) {
  const std::wstring links = std::wstring(target) + L"\\links20.json";
  const std::wstring none = std::wstring(target) + L"\\links0.json";
  Series stored, policy, ignored;
  const auto oneRound = [&](int) -> intptr_t {
    intptr_t code = Time({frontEnd, L"apply", links.c_str()}, ignored);
    if (code == 0) code = Time({frontEnd, L"restore"}, stored);
    if (code == 0) code = Time({frontEnd, L"apply", L"--prune", none.c_str()}, ignored);
    if (code != 0) return code;
    if (!WritePolicy(target, true)) return -1;
    code = Time({frontEnd, L"restore"}, ignored);
    if (code == 0) code = Time({frontEnd, L"restore"}, policy);
    if (!WritePolicy(target, false)) return -1;
    return code != 0 ? code : Time({frontEnd, L"restore"}, ignored);
  };
  const bool done = RunRounds(rounds, L"restore", oneRound, [&] {
    return WritePolicy(target, false) &&
           Settle({frontEnd, L"apply", L"--prune", none.c_str()}) == 0 &&
           Settle({frontEnd, L"restore"}) == 0;
  });
  if (!done) {
    WritePolicy(target, false);
    return false;
  }
  const double storedMedian = stored.Median(), policyMedian = policy.Median();
  std::wprintf(L"Restore 20 policy %7.1f ms   20 stored %7.1f ms   ratio %.2f\n", policyMedian,
               storedMedian, policyMedian / storedMedian);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    std::fwprintf(stderr, L"usage: RequestBench ROUNDS FRONTEND FLOOR TARGET\n");
    return 87;
  }
  const int rounds = std::max(1, static_cast<int>(std::wcstol(argv[1], nullptr, 10)));
  const wchar_t* frontEnd = argv[2];
  const wchar_t* floor = argv[3];
  const wchar_t* target = argv[4];
  Series frontCreate, frontDelete, floorCreate, floorDelete;
  const auto viaFrontEnd = [&] {
    const intptr_t code = Time({frontEnd, L"create", L"drive", L"B:", target}, frontCreate);
    return code != 0 ? code : Time({frontEnd, L"delete", L"drive", L"B:"}, frontDelete);
  };
  const auto viaFloor = [&] {
    const intptr_t code = Time({floor, L"Drive", L"Create", target, L"B:"}, floorCreate);
    return code != 0 ? code : Time({floor, L"Drive", L"Delete", L"-", L"B:"}, floorDelete);
  };
  const auto oneRound = [&](int round) {
    const intptr_t code = round % 2 ? viaFloor() : viaFrontEnd();
    return code != 0 ? code : round % 2 ? viaFrontEnd() : viaFloor();
  };
  // The floor does not start again what the service manager did not start; B: is taken off for
  // the next round, mapped or not.
  if (!RunRounds(rounds, L"request", oneRound, [&] {
        Settle({frontEnd, L"delete", L"drive", L"B:"});
        return true;
      })) {
    return 1;
  }
  const auto report = [](const wchar_t* request, Series& floorSeries, Series& frontSeries) {
    const double floorMedian = floorSeries.Median();
    const double frontMedian = frontSeries.Median();
    std::wprintf(L"%-12ls floor %7.1f ms   front end %7.1f ms   overhead %+5.1f %%\n", request,
                 floorMedian, frontMedian, 100.0 * (frontMedian - floorMedian) / floorMedian);
  };
  std::wprintf(L"%d rounds; medians of each program's run, process start to exit\n", rounds);
  report(L"Drive Create", floorCreate, frontCreate);
  report(L"Drive Delete", floorDelete, frontDelete);
  Series alone, together;
  std::vector<std::wstring> missing;
  bool wrong = false;
  for (int round = 0; round < std::max(1, rounds / 5); ++round) {
    const EightRun addsAlone = Eight(frontEnd, L"add", target, false);
    const EightRun removesAlone = Eight(frontEnd, L"remove", nullptr, false);
    const EightRun addsTogether = Eight(frontEnd, L"add", target, true);
    const EightRun removesTogether = Eight(frontEnd, L"remove", nullptr, true);
    // Both halves are judged; a round with a start the machine could not make gives no figure.
    const bool aloneDone = Succeeded(addsAlone, removesAlone, missing, wrong);
    if (Succeeded(addsTogether, removesTogether, missing, wrong) && aloneDone) {
      alone.milliseconds.push_back(addsAlone.milliseconds);
      together.milliseconds.push_back(addsTogether.milliseconds);
    }
  }
  for (const std::wstring& reason : missing) {
    std::wprintf(L"Eight adds   a figure is missing: %ls\n", reason.c_str());
  }
  if (alone.milliseconds.empty()) {
    std::wprintf(L"Eight adds   no round gave a figure\n");
  } else {
    const double aloneMedian = alone.Median();
    const double togetherMedian = together.Median();
    std::wprintf(
        L"Eight adds   one after another %7.1f ms   started together %7.1f ms   ratio %.2f\n",
        aloneMedian, togetherMedian, togetherMedian / aloneMedian);
  }
  if (!ApplyFigures(frontEnd, target, std::max(1, rounds / 5))) wrong = true;
  if (!PolicyFigures(frontEnd, target, std::max(1, rounds / 5))) wrong = true;
  if (wrong) {
    std::fwprintf(stderr, L"a corvane reported a wrong outcome\n");
    return 1;
  }
  return 0;
}
