// make-sounds DIR: writes the station's two sounds as WAV files, pass.wav (two short rising
// tones) and fail.wav (three low buzzes), 16-bit mono PCM. Made at build time so the sounds are
// plain code, not binary files in the tree.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

struct Tone {
  double hertz;  // 0: silence
  double seconds;
  double buzz;  // share of the third harmonic, which makes the tone rough
};

std::vector<int16_t> Render(const std::vector<Tone>& tones) {
  std::vector<int16_t> samples;
  for (const Tone& tone : tones) {
    const int count = static_cast<int>(tone.seconds * kRate);
    for (int i = 0; i < count; ++i) {
      const double t = static_cast<double>(i) / kRate;
      // 5 ms ramps at both ends: no clicks.
      const double ramp = std::min({1.0, t / 0.005, (tone.seconds - t) / 0.005});
      double value = 0;
      if (tone.hertz > 0)
        value = std::sin(2 * kPi * tone.hertz * t) + tone.buzz * std::sin(6 * kPi * tone.hertz * t);
      samples.push_back(static_cast<int16_t>(value / (1 + tone.buzz) * ramp * 0.6 * 32767));
    }
  }
  return samples;
}

void Put(std::ofstream& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool Write(const std::string& path, const std::vector<int16_t>& samples) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const auto data = static_cast<uint32_t>(samples.size() * 2);
  out.write("RIFF", 4);
  Put(out, 36 + data, 4);
  out.write("WAVEfmt ", 8);
  Put(out, 16, 4);         // format chunk size
  Put(out, 1, 2);          // PCM
  Put(out, 1, 2);          // mono
  Put(out, kRate, 4);      // samples a second
  Put(out, kRate * 2, 4);  // bytes a second
  Put(out, 2, 2);          // bytes a sample
  Put(out, 16, 2);         // bits a sample
  out.write("data", 4);
  Put(out, data, 4);
  for (int16_t sample : samples) Put(out, static_cast<uint16_t>(sample), 2);
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-sounds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const bool ok =
      Write(dir + "/pass.wav", Render({{880, 0.09, 0}, {1320, 0.14, 0}})) &&
      Write(
          dir + "/fail.wav",
          Render(
              {{220, 0.14, 0.5}, {0, 0.06, 0}, {220, 0.14, 0.5}, {0, 0.06, 0}, {220, 0.14, 0.5}}));
  if (!ok) std::fprintf(stderr, "make-sounds: cannot write the sounds into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
