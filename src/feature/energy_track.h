// The energy track of an utterance: frame energies in dB from the frames'
// sums of squares, given in frame order. A silent frame (sum 0: all its
// samples are 0) takes the energy of the next frame that is not silent; a
// silent run that nothing follows takes the energy of the last sounding
// frame before it, and an utterance silent throughout the energy of one
// unit of sum, 10 log10(1 / 320). So the energy of a silent frame is known
// only when a sounding frame follows or the utterance ends.
#ifndef FEATURE_ENERGY_TRACK_H
#define FEATURE_ENERGY_TRACK_H

// 10 log10(sum / 320): division and logarithm in double, the logarithm
// rounded to single precision before the multiplication by 10.
float frameEnergyDb(double sumOfSquares);

class EnergyTrack {
 public:
  // Frame frame, the next in order, with its sum of squares. fill(from, to,
  // energy) gives frames from .. to - 1 their energy once it is known.
  template <class Fill>
  void add(int frame, double sumOfSquares, Fill&& fill) {
    if (sumOfSquares == 0.0) {
      silent(frame);
    } else {
      sounding(frame, frameEnergyDb(sumOfSquares), fill);
    }
  }

  // The same, for a frame whose energy is known already (the frames of a
  // stream, analysed a chunk at a time).
  void silent(int frame) {
    if (silentRunStart_ < 0) silentRunStart_ = frame;
  }
  template <class Fill>
  void sounding(int frame, float energy, Fill&& fill) {
    fill(silentRunStart_ >= 0 ? silentRunStart_ : frame, frame + 1, energy);
    silentRunStart_ = -1;
    lastSounding_ = energy;
    sounded_ = true;
  }

  // The utterance has frames frames: a waiting silent run is given its
  // energy now.
  template <class Fill>
  void finish(int frames, Fill&& fill) {
    if (silentRunStart_ < 0) return;
    fill(silentRunStart_, frames, sounded_ ? lastSounding_ : frameEnergyDb(1.0));
    silentRunStart_ = -1;
  }

  // The first frame whose energy is not known yet, or -1.
  int waitingFrom() const { return silentRunStart_; }

 private:
  int silentRunStart_ = -1;  // first frame of a waiting silent run, or -1
  float lastSounding_ = 0.0f;
  bool sounded_ = false;
};

#endif  // FEATURE_ENERGY_TRACK_H
