// Command blocks of 128 KB to 1 MB in shapes that would expose quadratic parsing: the complexity
// Google Benchmark fits over the sizes must stay O(N) for every shape.
#include "command/CommandParams.h"

#include <benchmark/benchmark.h>

namespace {

struct Shape {
    const char* name;
    QString (*block)(int);
};
const Shape kShapes[] = {
    {"many values", [](int n) { return "trsto=" + QString("a;").repeated(n / 2); }},
    {"many names", [](int n) { return QString("x=1;").repeated(n / 4); }},
    {"values before a far name", [](int n) { return "listto=s;" + QString("t;").repeated(n / 2) + "acc=u;"; }},
    {"no semicolon", [](int n) { return "acc=" + QString("a").repeated(n); }},
    {"only equals", [](int n) { return QString("=").repeated(n); }},
    {"only semicolons", [](int n) { return "trsto=" + QString(";").repeated(n); }},
};

void ParseBlock(benchmark::State& state, const Shape& shape)
{
    const QString block = shape.block(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        lw::command::CommandParams params;
        lw::command::ParseCommandParams(params, block);
        benchmark::DoNotOptimize(params);
    }
    state.SetComplexityN(state.range(0));
}

const bool kRegistered = [] {
    for (const Shape& shape : kShapes)
        benchmark::RegisterBenchmark((std::string("ParseCommandBlock/") + shape.name).c_str(), ParseBlock, shape)
            ->RangeMultiplier(2)
            ->Range(1 << 17, 1 << 20)
            ->Complexity(benchmark::oN)
            ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace
