#!/usr/bin/env python3
"""Every command the documentation shows is one a test runs.

The commands: in README.md and docs/*.md, each line of a fenced code block (``` or ~~~) that is
not marked text, json, xml, yaml or ini. Sh blocks are read as a shell reads them ('...' and "..."
quote, \\ escapes); every other block as cmd reads it (only "..." quotes, \\ is a path's). A
trailing comment goes (` :: ...`, ` # ...`); a line splits into commands at &&, ||, ;, | and &
(a | between two words, drive|folder|file, joins them), and $(...) is a command of its own.
Leading NAME=VALUE words go. What is left is a command of the documentation when its first word
names (by its file name) one of these programs:

  corvane, corvane.exe, msiexec, sc, CorvaneService.exe, CorvaneAutoStart.exe, powershell
      A test runs it when one command of the test scripts (tests/e2e/*.sh and *.cpp,
      tests/windows/*.cmd and *.sh, tests/bench/*.sh) runs the same program with the same verb
      (corvane's first word, and its kind word after create, delete, add and remove; sc's first
      word and the service's name), and every option shown: a word that begins with - or / (what
      follows = or : is its value) or an msiexec PROPERTY=, together on that one command. For
      powershell the script's file name after -File counts too. Operands (paths, letters,
      labels, files, packages) may differ. A kind written drive|folder|file stands for each.
      A test script's own function (shell) or label (cmd) that runs one of these programs counts
      as that program, its positional parameters ($1, "$@", ${@:3}, %~1, %*) taken from each call:
      run_corvane create file a b is corvane create file a b. So do the launchers wine,
      exit_code_of (its words are a command line), cmd /c and %ComSpec% /c.

or when its first word begins with script/ or tests/, or is ctest or cmake (build and test):

  script/NAME, tests/PATH   the file exists and is executable, and a runner runs it (with its
                            first word when that is a subcommand, script/wine-prefix create, and
                            every option shown); the runners are script/test, .ci/run, the
                            workflows in .github/workflows, and the shell scripts and
                            CMakeLists.txt under tests/ (launched as step NAME, bash, exec,
                            python3, run:, COMMAND, or directly)
  cmake ...                 its presets exist, and one runner command holds every word shown
                            (a runner's for PRESET in A B C expands its $PRESET)
  ctest --preset X [-R RE]  the test preset exists, a runner runs ctest --preset X, and RE
                            matches a test's name (add_test NAME in a CMakeLists.txt); -V,
                            --output-on-failure and -j only show or pace what runs

Any other line (wine, powershell's own cmdlets, copy, gpupdate, build/...) is no command here:
the documentation names such things in prose. A command that cannot be run by a test (WAIVED
below, with the reason) is printed as waived; a waiver for a command that a test runs now, or that
no page shows, fails.

Before it reads the pages the checker tries itself on commands that no test runs (each must be
reported) and on commands that tests run (each must be found), and fails if either goes wrong.

    tests/docs/check_commands.py [-v]      -v: also where each command is run
"""
import json
import os
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Program file names (lower case) and the name a command is known by.
PROGRAMS = {
    "corvane": "corvane", "corvane.exe": "corvane",
    "msiexec": "msiexec", "msiexec.exe": "msiexec",
    "sc": "sc", "sc.exe": "sc",
    "corvaneservice.exe": "CorvaneService.exe",
    "corvaneautostart.exe": "CorvaneAutoStart.exe",
    "powershell": "powershell", "powershell.exe": "powershell",
}
CORVANE_KINDS = {"create", "delete", "add", "remove"}
NOT_COMMANDS = {"text", "json", "xml", "yaml", "yml", "ini"}
SHELL_BLOCKS = {"sh", "bash", "shell", "console"}

# Commands the documentation shows that no test can run, with the reason. Exact text.
WAIVED = {}

STARTS = {"&&", "||", ";", "|", "&", "(", "`"}
# Words before a command that run it, or say where it runs (a workflow's run:, CMake's COMMAND).
LAUNCHERS = {"export", "local", "exec", "then", "do", "!", "wine", "bash", "python3", "run:",
             "COMMAND"}
STOPS = STARTS | {")", ">"}


# ---- Reading a line as a shell or cmd does ----

def substitutions(line, shell):
    """The line with each $(...) taken out (shell), and the command lines they held."""
    if not shell:
        return line, []
    out, inner, i, quote = [], [], 0, None
    while i < len(line):
        c = line[i]
        if quote == "'":
            out.append(c)
            quote = None if c == "'" else quote
        elif c == "'" and quote is None:
            quote = "'"
            out.append(c)
        elif c == "\\" and i + 1 < len(line):
            out.append(line[i:i + 2])
            i += 1
        elif c == "$" and line.startswith("$(", i) and not line.startswith("$((", i):
            depth, j = 1, i + 2
            while j < len(line) and depth:
                depth += {"(": 1, ")": -1}.get(line[j], 0)
                j += 1
            body, rest = substitutions(line[i + 2:j - 1], shell)
            inner.append(body)
            inner.extend(rest)
            out.append("SUBSTITUTION")
            i = j - 1
        else:
            if c == '"':
                quote = None if quote == '"' else '"'
            out.append(c)
        i += 1
    return "".join(out), inner


def tokens(line, shell):
    """Words (quotes taken off) and separators of one line without substitutions."""
    result, word, had_word, i = [], [], False, 0
    quote = None

    def end():
        nonlocal word, had_word
        if had_word:
            result.append("".join(word))
        word, had_word = [], False

    while i < len(line):
        c = line[i]
        if quote == "'":
            if c == "'":
                quote = None
            else:
                word.append(c)
        elif quote == '"':
            if c == '"':
                quote = None
            elif shell and c == "\\" and i + 1 < len(line) and line[i + 1] in '"\\$`':
                word.append(line[i + 1])
                i += 1
            else:
                word.append(c)
        elif c == '"' or (shell and c == "'"):
            quote, had_word = c, True
        elif shell and c == "\\" and i + 1 < len(line):
            word.append(line[i + 1])
            had_word = True
            i += 1
        elif c.isspace():
            end()
        elif line.startswith(("&&", "||"), i):
            end()
            result.append(line[i:i + 2])
            i += 1
        elif c == "|" and had_word and i + 1 < len(line) and not line[i + 1].isspace():
            word.append(c)  # drive|folder|file: one word of alternatives, not a pipe
        elif c in ";|&()`":
            end()
            result.append(c)
        elif c in "<>":
            # A redirection (2>&1 and >>: one); nothing after it belongs to the command.
            if word and "".join(word).isdigit():
                word, had_word = [], False
            end()
            result.append(">")
            while i + 1 < len(line) and line[i + 1] in "<>&":
                i += 1
        elif shell and c == "#" and not had_word:
            break
        else:
            word.append(c)
            had_word = True
        i += 1
    end()
    return result


def without_comment(line, shell):
    if shell:
        return line  # the tokenizer ends a line at a word that begins with #
    return re.split(r"\s::\s|\s::$", line)[0]


def commands_of(line, shell):
    """The commands of one line: each a list of words, launchers and assignments taken off."""
    line = without_comment(line, shell)
    main, inner = substitutions(line, shell)
    found = []
    for text in [main] + inner:
        segment = []
        for token in tokens(text, shell) + [";"]:
            if token in STARTS:
                found.extend(launched(segment))
                segment = []
            elif token in STOPS:
                segment.append(None)  # nothing after a redirection or a ) belongs to it
            else:
                segment.append(token)
    return found


def launched(segment):
    """A segment's command without its assignments and launchers; exit_code_of's words are a
    command line of cmd's own."""
    words = []
    for word in segment:
        if word is None:
            break
        words.append(word)
    while words:
        first = words[0]
        if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*=.*", first) or first in LAUNCHERS:
            words = words[1:]
        elif first == "step" and len(words) > 1:  # script/test's step NAME COMMAND...
            words = words[2:]
        elif first == "exit_code_of":
            return commands_of(" ".join(words[1:]), shell=False)
        elif (file_name(first) in ("cmd", "cmd.exe", "%comspec%") and len(words) > 1
              and words[1].lower() == "/c"):
            words = words[2:]
        else:
            break
    return [words] if words else []


def file_name(word):
    names = [n for n in re.split(r"[\\/]", word) if n]
    return names[-1].lower() if names else word.lower()


# ---- Options, verbs and what a command must match ----

def option_name(word):
    if re.fullmatch(r"[A-Z][A-Z0-9_]*=.*", word):
        return word.split("=", 1)[0] + "="
    if len(word) > 1 and word[0] in "-/" and not re.match(r"/[A-Za-z0-9_.-]+/", word):
        return re.split(r"[=:]", word, 1)[0].lower() if word[0] == "-" else word.lower()
    return None


def options(words):
    return {name for name in map(option_name, words) if name}


def plain(words):
    return [w for w in words if option_name(w) is None]


def signature(program, words):
    """What must be the same: the verb words, and the options."""
    rest = plain(words)
    verbs = []
    if program == "corvane" and rest:
        verbs.append(rest[0].lower())
        if rest[0].lower() in CORVANE_KINDS and len(rest) > 1:
            verbs.append(rest[1].lower())
    elif program == "sc":
        verbs = [w.lower() for w in rest[:2]]
    elif program == "powershell":
        for at, word in enumerate(words[:-1]):
            if word.lower() == "-file":
                verbs.append(file_name(words[at + 1]))
    return verbs, options(words)


def alternatives(program, words):
    """drive|folder|file as a corvane kind stands for each of them."""
    rest = plain(words)
    if program == "corvane" and len(rest) > 1 and "|" in rest[1]:
        at = words.index(rest[1])
        return [words[:at] + [kind] + words[at + 1:] for kind in rest[1].split("|")]
    return [words]


# ---- What the test scripts run ----

TEST_FILES = ["tests/e2e/*.sh", "tests/e2e/*.cpp", "tests/windows/*.cmd", "tests/windows/*.sh",
              "tests/bench/*.sh"]


def read_lines(path):
    """The file's logical lines; outside cmd files a line ending in \\ is joined with the next."""
    lines, pending, start = [], "", 1
    joins = path.suffix != ".cmd"
    text = path.read_text(encoding="utf-8", errors="replace")
    for number, raw in enumerate(text.splitlines(), 1):
        if not pending:
            start = number
        if joins and raw.endswith("\\") and not raw.endswith("\\\\"):
            pending += raw[:-1] + " "
            continue
        lines.append((start, pending + raw))
        pending = ""
    if pending:
        lines.append((start, pending))
    return lines


def is_comment(text, shell):
    stripped = text.strip()
    if shell:
        return stripped.startswith("#")
    return stripped.startswith("::") or re.match(r"(?i)@?rem(\s|$)", stripped) is not None


def variables(lines, shell):
    """NAME=VALUE (shell, at the line's start, no command in it) and set "NAME=VALUE" (cmd)."""
    found = {}
    for _, text in lines:
        if shell:
            match = re.fullmatch(r"\s*([A-Za-z_][A-Za-z0-9_]*)=(\S+)\s*", text)
            if match and "$(" not in match.group(2) and match.group(1) not in found:
                words = tokens(match.group(2), True)
                if len(words) == 1:
                    found[match.group(1)] = words[0]
        else:
            match = re.fullmatch(r'\s*set "([A-Za-z_][A-Za-z0-9_]*)=([^"]*)"\s*', text, re.I)
            if match and match.group(1).lower() not in found:
                found[match.group(1).lower()] = match.group(2)
    return found


def substitute(text, names, shell):
    for _ in range(4):
        if shell:
            new = re.sub(r"\$\{?([A-Za-z_][A-Za-z0-9_]*)\}?",
                         lambda m: names.get(m.group(1), m.group(0)), text)
        else:
            new = re.sub(r"%([A-Za-z_][A-Za-z0-9_]*)%",
                         lambda m: names.get(m.group(1).lower(), m.group(0)), text)
        if new == text:
            break
        text = new
    return text


def bodies(lines, shell):
    """Each function (shell, name() { ... }) or label (cmd, :name ... exit /b): its lines."""
    found, current = {}, None
    for number, text in lines:
        if shell:
            match = re.match(r"([A-Za-z_][A-Za-z0-9_]*)\(\) \{(.*)$", text)
            if match:
                inner = match.group(2).strip()
                if inner.endswith("}"):
                    found[match.group(1)] = [(number, inner[:-1])]
                else:
                    current = match.group(1)
                    found[current] = []
                continue
            if current and text == "}":
                current = None
            elif current:
                found[current].append((number, text))
        else:
            match = re.fullmatch(r":([A-Za-z_][A-Za-z0-9_]*)\s*", text)
            if match:
                current = match.group(1).lower()
                found[current] = []
            elif current:
                found[current].append((number, text))
                if re.match(r"\s*exit /b", text, re.I):
                    current = None
    return found


def positional(words, arguments, aliases, each):
    """A wrapper's command with its parameters taken from one call's arguments."""
    out = []
    for word in words:
        for name, index in aliases.items():
            word = word.replace("$" + name, "$" + str(index))
        if word in ("$@", "%*"):
            out.extend(arguments)
        elif re.fullmatch(r"\$\{@:(\d+)\}", word):
            out.extend(arguments[int(word[4:-1]) - 1:])
        elif each and word == "$" + each:
            out.extend(arguments[0].split() if arguments else [])
        else:
            def one(match):
                index = int(match.group(1) or match.group(2)) - 1
                return arguments[index] if 0 <= index < len(arguments) else match.group(0)
            out.append(re.sub(r"\$\{?(\d)\}?|%~?(\d)", one, word))
    return out


class TestRuns:
    """Every program command the test scripts run, each with where."""

    # Sourced by the other shell scripts: their functions are every script's.
    COMMON = ("tests/e2e/service.sh", "tests/e2e/scenarios.sh")

    def __init__(self, root=ROOT):
        self.runs = []  # (program, words, "file:line")
        # file -> function or label -> [(command words, positional aliases, loop over "$@", where)]
        self.wrappers = {}
        files = []
        for pattern in TEST_FILES:
            files.extend(sorted(root.glob(pattern)))
        common = {}
        for name in self.COMMON:
            if (root / name).exists():
                common.update(variables(read_lines(root / name), True))
        parsed = []
        for path in files:
            shell = path.suffix != ".cmd"
            lines = [(n, t) for n, t in read_lines(path) if not is_comment(t, shell)]
            names = dict(common) if shell else {}
            names.update(variables(lines, shell))
            where = str(path.relative_to(root))
            lines = [(n, substitute(t, names, shell)) for n, t in lines]
            parsed.append((where, shell, lines))
            own = self.wrappers.setdefault(where, {})
            for name, body in bodies(lines, shell).items():
                aliases, each = {}, None
                for _, text in body:
                    for alias, index in re.findall(r"\b([a-z_]+)=\$(\d)\b", text):
                        aliases[alias] = int(index)
                    match = re.search(r'for (\w+) in "\$@"', text)
                    if match:
                        each = match.group(1)
                for number, text in body:
                    for words in commands_of(text, shell):
                        own.setdefault(name, []).append((words, aliases, each, f"{where}:{number}"))
        for where, shell, lines in parsed:
            for number, text in lines:
                for words in commands_of(text, shell):
                    self.add(words, where, f"{where}:{number}", depth=0)

    def wrapper(self, file, name):
        for scope in (file,) + (self.COMMON if file.endswith(".sh") else ()):
            if name in self.wrappers.get(scope, {}):
                return self.wrappers[scope][name]
        return []

    def add(self, words, file, where, depth):
        if not words:
            return
        first, arguments = words[0], words[1:]
        name = first
        if first.lower() == "call" and arguments and arguments[0].startswith(":"):
            name, arguments = arguments[0][1:].lower(), arguments[1:]
        program = PROGRAMS.get(file_name(first))
        if program:
            self.runs.append((program, arguments, where))
        elif depth < 4:
            for template, aliases, each, inside in self.wrapper(file, name):
                calls = [[a] for a in arguments] if each else [arguments]
                for call in calls:
                    self.add(positional(template, call, aliases, each), file,
                             f"{where} ({inside})", depth + 1)

    def find(self, program, words):
        verbs, wanted = signature(program, words)
        for run_program, run_words, where in self.runs:
            if run_program != program:
                continue
            run_verbs, run_options = signature(program, run_words)
            if run_verbs[:len(verbs)] == verbs and (program != "corvane" or
                                                     len(run_verbs) >= len(verbs)) \
                    and wanted <= run_options:
                return where
        return None


# ---- What the runners run ----

RUNNER_FILES = ["script/test", ".ci/run", ".github/workflows/*.yml", "tests/**/*.sh",
                "tests/**/CMakeLists.txt"]


class Runners:
    """Every command script/test, CI and the test scripts run."""

    def __init__(self, root=ROOT):
        self.root = root
        self.commands = []  # (words, "file:line")
        files = []
        for pattern in RUNNER_FILES:
            files.extend(sorted(p for p in root.glob(pattern)
                                if not p.relative_to(root).as_posix().startswith("build/")))
        for path in files:
            lines = [(n, t) for n, t in read_lines(path) if not is_comment(t, True)]
            loops = {}
            for _, text in lines:
                match = re.search(r"\bfor (\w+) in ([^;$\"]+); do", text)
                if match:
                    loops.setdefault(match.group(1), []).extend(match.group(2).split())
            where = str(path.relative_to(root))
            # A workflow's steps run in PowerShell on Windows: \ is a path's there.
            shell = path.suffix != ".yml"
            for number, text in lines:
                expanded = [text]
                for name, values in loops.items():
                    if re.search(r"\$\{?" + name + r"\b", text):
                        expanded = [re.sub(r"\$\{?" + name + r"\}?\b", value, t)
                                    for t in expanded for value in values]
                for line in expanded:
                    for words in commands_of(line, shell):
                        words = [re.sub(r"^\.\\", "", w).replace("\\", "/")
                                 if re.match(r"(\.\\)?(tests|script)\\", w) else w
                                 for w in words]
                        self.commands.append((words, f"{where}:{number}"))
        presets = json.loads((root / "CMakePresets.json").read_text(encoding="utf-8"))
        self.presets = {kind: {p["name"] for p in presets.get(kind + "Presets", [])}
                        for kind in ("configure", "build", "test")}
        self.tests = set()
        for path in root.glob("**/CMakeLists.txt"):
            if not path.relative_to(root).as_posix().startswith("build/"):
                self.tests.update(re.findall(r"add_test\(\s*NAME\s+([\w.-]+)",
                                             path.read_text(encoding="utf-8")))

    def script(self, words):
        path, rest = words[0], words[1:]
        file = self.root / path
        if not file.is_file():
            return None, f"there is no {path}"
        if not os.access(file, os.X_OK):
            return None, f"{path} is not executable"
        sub = rest[0] if rest and re.fullmatch(r"[a-z][a-z-]*", rest[0]) else None
        wanted = options(rest)
        for run, where in self.commands:
            if run[0] != path and not run[0].endswith("/" + path):
                continue
            if sub and (len(run) < 2 or run[1] != sub):
                continue
            if wanted <= options(run[1:]):
                return where, None
        return None, f"no runner runs {' '.join([path] + ([sub] if sub else []))}" + \
            (f" with {' '.join(sorted(wanted))}" if wanted else "")

    def preset_of(self, words):
        for at, word in enumerate(words[:-1]):
            if word == "--preset":
                return words[at + 1]
        return None

    def cmake(self, words):
        preset = self.preset_of(words)
        kind = "build" if "--build" in words else "configure"
        if preset is not None and preset not in self.presets[kind]:
            return None, f"there is no {kind} preset {preset}"
        wanted = set(words[1:])
        for run, where in self.commands:
            if run[0] == "cmake" and wanted <= set(run[1:]):
                return where, None
        return None, "no runner runs cmake with " + " ".join(words[1:])

    def ctest(self, words):
        preset = self.preset_of(words)
        if preset is None or preset not in self.presets["test"]:
            return None, f"there is no test preset {preset}"
        for at, word in enumerate(words[:-1]):
            if word in ("-R", "--tests-regex"):
                pattern = words[at + 1]
                if not any(re.search(pattern, name) for name in self.tests):
                    return None, f"-R {pattern} matches no test (" + ", ".join(
                        sorted(self.tests)) + ")"
        for run, where in self.commands:
            if run[0] == "ctest" and self.preset_of(run) == preset:
                return where, None
        return None, f"no runner runs ctest --preset {preset}"


# ---- The pages ----

def shown_commands(root=ROOT):
    """(page:line, text, words) of every command the pages show."""
    pages = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    found = []
    for page in pages:
        fence, language = None, ""
        for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
            match = re.match(r"\s*(```+|~~~+)\s*([\w+-]*)", line)
            if match and (fence is None or match.group(1).startswith(fence)):
                if fence is None:
                    fence, language = match.group(1), match.group(2).lower()
                else:
                    fence = None
                continue
            if fence is None or language in NOT_COMMANDS:
                continue
            shell = language in SHELL_BLOCKS
            for words in commands_of(line, shell):
                if is_checked(words[0]):
                    found.append((f"{page.relative_to(root)}:{number}", " ".join(words), words))
    return found


def is_checked(first):
    return (file_name(first) in PROGRAMS or first.startswith(("script/", "tests/"))
            or first in ("cmake", "ctest"))


def where_run(words, runs, runners):
    """Where a test runs the command, or None and why not."""
    first = words[0]
    if first.startswith(("script/", "tests/")):
        return runners.script(words)
    if first == "cmake":
        return runners.cmake(words)
    if first == "ctest":
        return runners.ctest(words)
    program = PROGRAMS[file_name(first)]
    missing = []
    place = None
    for variant in alternatives(program, words[1:]):
        place = runs.find(program, variant)
        if place is None:
            verbs, wanted = signature(program, variant)
            missing.append(" ".join([program] + verbs + sorted(wanted)))
    if missing:
        return None, "no test runs " + "; ".join(missing)
    return place, None


# ---- The checker tries itself ----

NEVER_RUN = [
    "corvane list --no-such-option",
    "corvane create junction C:\\a C:\\b",
    "corvane frobnicate X:",
    "corvane add drive X: C:\\Data --no-such-option",
    "msiexec /i corvane-VERSION-x64.msi /no-such-option",
    "msiexec /i corvane-VERSION-x64.msi NO_SUCH_PROPERTY=1",
    "sc frobnicate CorvaneService",
    "sc start NoSuchService",
    "CorvaneService.exe -NoSuchSwitch",
    "powershell -File No-Such-Script.ps1",
    "script/no-such-script",
    "script/wine-prefix no-such-subcommand",
    "tests/e2e/no-such.sh",
    "ctest --preset native -R no-such-test",
    "ctest --preset no-such-preset",
    "cmake --preset no-such-preset",
    "cmake --build --preset windows --target no_such_target",
]
RUN = [
    "corvane add drive X: C:\\Folder",
    "corvane add drive X: C:\\Folder --label Data",
    "corvane create drive|folder|file L T",
    "corvane list --json",
    "msiexec /i corvane-VERSION-x64.msi /qn LINKS=C:\\links.json",
    "sc start CorvaneService Drive Create C:\\data X:",
    "CorvaneService.exe -Service",
    "CorvaneAutoStart.exe",
    "powershell -File Detect-CorvaneLinks.ps1",
    "script/test",
    "script/wine-prefix create",
    "tests/e2e/run.sh",
    "ctest --preset native -R unit",
    "cmake --build --preset windows --target corvane_msi",
]


def self_check(runs, runners):
    wrong = []
    for text, expected in [(t, False) for t in NEVER_RUN] + [(t, True) for t in RUN]:
        words = commands_of(text, False)[0]
        place, _ = where_run(words, runs, runners)
        if (place is not None) != expected:
            wrong.append(f"{text}: {'found at ' + place if place else 'not found'}")
    return wrong


def main(arguments):
    verbose = "-v" in arguments
    runs, runners = TestRuns(), Runners()
    wrong = self_check(runs, runners)
    if wrong:
        print("check_commands.py cannot be trusted: it judged these wrongly:")
        for line in wrong:
            print("  " + line)
        return 1
    failures, waived_shown = [], set()
    shown = shown_commands()
    for where, text, words in shown:
        place, why = where_run(words, runs, runners)
        if text in WAIVED:
            waived_shown.add(text)
            if place is not None:
                failures.append(f"{where}: {text}: waived, but {place} runs it now: drop its "
                                "waiver")
            else:
                print(f"waived  {where}: {text}: {WAIVED[text]}")
            continue
        if place is None:
            failures.append(f"{where}: {text}: {why}")
        elif verbose:
            print(f"run     {where}: {text}  <- {place}")
    for text in sorted(set(WAIVED) - waived_shown):
        failures.append(f"waiver for {text}, which no page shows: drop it")
    for line in failures:
        print("NOT RUN " + line)
    print(f"check_commands.py: {len(shown)} commands shown, {len(failures)} not run by a test, "
          f"{len(waived_shown)} waived")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
