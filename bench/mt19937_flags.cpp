// The cost of one std::mt19937 output under the flags it is compiled with.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
int main() {
    std::mt19937 rng(5489u);
    const int N = 200'000'000;
    std::uint32_t acc = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < N; ++i)
        acc += rng();
    auto t1 = std::chrono::steady_clock::now();
    double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / N;
    std::printf("%.2f ns/output (acc %u)\n", ns, acc);
}
