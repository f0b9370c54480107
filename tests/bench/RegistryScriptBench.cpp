// Registering and unregistering scripts of 1k, 10k and 100k keys: the time per key must not
// grow with the script (the report's "per_key" counter, in seconds).
#include <benchmark/benchmark.h>

#include <string>

#include "platform/sim/Machine.h"
#include "service/RegistryScript.h"

namespace {

std::u16string ScriptOfKeys(std::size_t keys) {
  std::u16string script = u"HKCU\r\n{\r\n\tNoRemove Bench\r\n\t{\r\n";
  for (std::size_t i = 0; i < keys; ++i) {
    const std::string number = std::to_string(i);
    script += u"\t\t'Key" + std::u16string(number.begin(), number.end()) +
              u"' = s 'Default'\r\n\t\t{\r\n\t\t\tval Data = d 12\r\n\t\t}\r\n";
  }
  return script + u"\t}\r\n}\r\n";
}

void RegisterThenUnregister(benchmark::State& state) {
  const auto keys = static_cast<std::size_t>(state.range(0));
  const std::u16string script = ScriptOfKeys(keys);
  SubstitutionMap map;
  sim::Machine machine;  // each round leaves the registry as it found it
  for (auto _ : state) {
    RegistryScriptParser parser(map);
    if (parser.RunScript(script, RegistryScriptMode::Register) != 0 ||
        parser.RunScript(script, RegistryScriptMode::Unregister) != 0) {
      state.SkipWithError("the script failed");
      return;
    }
  }
  state.counters["per_key"] = benchmark::Counter(
      static_cast<double>(keys), benchmark::Counter::kIsIterationInvariantRate |
                                     benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(RegisterThenUnregister)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
