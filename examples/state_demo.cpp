// Builds a few states and prints what it reads back from them.
#include <cstdio>
#include <vector>

#include "par/pool.hpp"
#include "state/sv.hpp"

int main() {
  using tavro::TavroSV;
  std::printf("workers %zu, parallel from %zu amplitudes\n", tavro::par::NUM_THREADS(),
              tavro::par::MIN_AMPS());

  auto basis = TavroSV::from_bitstring(std::vector<uint8_t>{1, 0, 1});
  std::printf("|101>: amplitude 5 = %g, norm^2 = %g\n", basis->get(5)->real(),
              basis->norm_squared());

  auto v = TavroSV::from_amplitudes(1, std::vector<tavro::Amp>{{3, 0}, {0, 4}});
  const double norm = v->normalize();
  std::printf("[3, 4i] normalised from norm %g: %.17g, %.17gi\n", norm, v->get(0)->real(),
              v->get(1)->imag());

  auto dyn = TavroSV::zero_dynamic(30);
  (void)dyn->resolve(17);
  (void)dyn->resolve(4);
  std::printf("dynamic 30-qubit state with qubits 17 and 4 touched: %u live, %zu amplitudes\n",
              dyn->live_qubits(), dyn->len());

  auto big = TavroSV::zero(24);
  std::printf("24-qubit state: %zu amplitudes, norm^2 = %g\n", big->len(), big->norm_squared());

  auto too_big = TavroSV::zero(59);
  std::printf("59 qubits: %s\n", too_big ? "ok" : too_big.error().display().c_str());
  return 0;
}
