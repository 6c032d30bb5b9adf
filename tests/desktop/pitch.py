# SPDX-License-Identifier: GPL-3.0-or-later
"""What a recording holds: levels, where sounds start, their pitch, and
WAV files in and out."""
import wave

import numpy as np

RATE = 44100
SILENCE = 0.001   # -60 dBFS


def midi_hz(note):
    return 440.0 * 2.0 ** ((note - 69) / 12.0)


def frame_rms(x, hop):
    n = len(x) // hop
    if n == 0:
        return np.zeros(0)
    return np.sqrt(np.mean(x[:n * hop].reshape(n, hop) ** 2, axis=1))


def find_onset(x, start, end, rate=RATE, floor=2e-3):
    """First sample index in [start, end) where a sound starts, or None.

    In 2 ms frames: the first frame whose level is over three times the
    loudest frame of the 50 ms that ended 10 ms before it (and over an
    absolute floor), so a note still ringing from an earlier strike does not
    hide a new one; then back to the first sample of that rise that stands
    clearly over the earlier level."""
    hop = int(rate * 0.002)
    look, gap = int(0.05 * rate) // hop, int(0.01 * rate) // hop
    first = max(0, start - (look + gap) * hop)
    seg = x[first:end]
    r = frame_rms(seg, hop)
    for i in range((start - first) // hop, len(r)):
        before = r[max(0, i - gap - look):max(0, i - gap)]
        level = before.max() if len(before) else 0.0
        if r[i] > floor and r[i] > 3.0 * level:
            lo = max(0, i - gap) * hop
            ground = np.abs(seg[max(0, lo - look * hop):lo])
            ground = ground.max() if len(ground) else 0.0
            peak = np.abs(seg[i * hop:(i + 1) * hop]).max()
            rise = np.abs(seg[lo:(i + 1) * hop])
            k = int(np.argmax(rise > max(2.0 * ground, 0.1 * peak)))
            return first + lo + k
    return None


def first_sound(x, t, from_ms, until_ms, rate=RATE, level=SILENCE):
    """The first sound played after from_ms: the first sample above level
    (-60 dBFS) from which the next millisecond as a whole (its RMS) is above
    level too, so that a tone whose attack takes a while to grow loud is
    timed from when it begins to be heard, not from when it is loud.  x are
    samples and t their play times in ms.

    Returns (its time or None when nothing is heard before until_ms,
    mistimed): mistimed when the sound is already there at from_ms (the
    millisecond before it is above level), so the clock of the recording
    cannot be trusted for it."""
    x = np.asarray(x, dtype=np.float64)
    ms = max(1, rate // 1000)
    after = np.nonzero(t >= from_ms)[0]
    first = int(after[0]) if len(after) else len(x)
    before = np.abs(x[max(0, first - ms):first])
    mistimed = bool(len(before) and before.max() > level)
    cs = np.concatenate(([0.0], np.cumsum(x * x)))
    for i in np.nonzero(np.abs(x[first:]) > level)[0] + first:
        if i + ms > len(x) or t[i] > until_ms:
            break
        if np.sqrt((cs[i + ms] - cs[i]) / ms) > level:
            return float(t[i]), mistimed
    return None, mistimed


def pitch(x, rate=RATE, fmin=60.0, fmax=1500.0):
    """Fundamental frequency by the YIN difference function (cumulative mean
    normalised), with parabolic interpolation of the period.  Returns
    (Hz, aperiodicity); Hz is None for a segment too quiet to measure."""
    x = np.asarray(x, dtype=np.float64)
    x = x - x.mean()
    if len(x) == 0 or np.sqrt(np.mean(x * x)) < 1e-4:
        return None, 1.0
    tau_max = int(rate / fmin)
    tau_min = max(2, int(rate / fmax))
    w = len(x) - tau_max
    if w < tau_max:
        raise ValueError("segment too short for pitch detection")
    nfft = 1 << int(np.ceil(np.log2(len(x) + w)))
    r = np.fft.irfft(np.fft.rfft(x, nfft) * np.conj(np.fft.rfft(x[:w], nfft)), nfft)[:tau_max + 1]
    cs = np.concatenate(([0.0], np.cumsum(x * x)))
    taus = np.arange(tau_max + 1)
    d = cs[w] + (cs[taus + w] - cs[taus]) - 2.0 * r
    d[0] = 0.0
    cm = np.ones_like(d)
    run = np.cumsum(d[1:])
    cm[1:] = d[1:] * taus[1:] / np.where(run > 0, run, 1e-12)
    tau = None
    for t in range(tau_min, tau_max):
        if cm[t] < 0.15:
            while t + 1 < tau_max and cm[t + 1] < cm[t]:
                t += 1
            tau = t
            break
    if tau is None:
        tau = tau_min + int(np.argmin(cm[tau_min:tau_max]))
    a, b, c = cm[tau - 1], cm[tau], cm[tau + 1]
    den = a - 2 * b + c
    shift = 0.5 * (a - c) / den if den != 0 else 0.0
    return rate / (tau + shift), float(b)


def write_wav(path, x, rate=RATE):
    pcm = (np.clip(x, -1, 1) * 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


def read_wav(path):
    """(samples as float64 (frames, channels), rate) of a PCM WAV."""
    with wave.open(path, "rb") as w:
        ch, width, rate, n = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
        raw = w.readframes(n)
    if width == 1:
        x = (np.frombuffer(raw, np.uint8).astype(np.float64) - 128) / 128
    elif width == 2:
        x = np.frombuffer(raw, "<i2").astype(np.float64) / 32768
    elif width == 3:
        b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        x = np.where(v >= 1 << 23, v - (1 << 24), v).astype(np.float64) / (1 << 23)
    else:
        x = np.frombuffer(raw, "<i4").astype(np.float64) / (1 << 31)
    return x.reshape(-1, ch), rate


def wav_seconds(path):
    try:
        with wave.open(path, "rb") as w:
            return w.getnframes() / float(w.getframerate())
    except (OSError, wave.Error, EOFError):
        return 0.0


def longest_near_silence_ms(path):
    """The longest stretch of a sound file, played in a loop, in which every
    channel is below one step of 16 bits (so exactly zero once mixed and
    converted), in ms; None when the file cannot be read."""
    try:
        x, rate = read_wav(path)
    except (OSError, wave.Error, EOFError):
        return None
    if len(x) == 0:
        return None
    quiet = np.all(np.abs(x) < 1.0 / 32768.0, axis=1)
    # Twice round, for a stretch that runs from the end into the start.
    twice = np.concatenate((quiet, quiet)).astype(np.int8)
    best = run = 0
    for q in twice:
        run = run + 1 if q else 0
        best = max(best, min(run, len(quiet)))
    return best * 1000.0 / rate
