#!/usr/bin/env bash
# Speech: the LibriVox recordings and transcripts of pocketsphinx-testdata through
# `zimlo-tool recognize`, next to the `pocketsphinx_continuous` command-line decoder on the same
# files in the same run. Prints word error rate (corpus level), real-time factor (CPU and wall
# time over audio time, per file with the model load and over all files in one run) and, for a
# real-time run over the five sentences joined with pauses, the delay from the end of each
# utterance's last word to its final result.
# Goals: the same word error rate as the command-line decoder, real-time factor under 0.5,
# final results within 1 s of the end of speech.
#   SPEECH_FILES (all five; 1 with BENCH_SMOKE=1) limits the recordings used.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
tool=$build/tools/zimlo-tool/zimlo-tool
[ -x "$tool" ] || { echo "zimlo-tool not built at $tool" >&2; exit 1; }
command -v pocketsphinx_continuous >/dev/null || { echo "pocketsphinx_continuous missing (package pocketsphinx)" >&2; exit 1; }
data=/usr/share/pocketsphinx/test/data/librivox
[ -d "$data" ] || { echo "$data missing (package pocketsphinx-testdata)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "${BENCH_SMOKE:-0}" = 1 ]; then files=${SPEECH_FILES:-1}; else files=${SPEECH_FILES:-0}; fi

TOOL=$tool DATA=$data WORK=$work FILES=$files python3 - <<'PY'
import os, re, resource, statistics, struct, subprocess, sys, threading, time, wave

tool, data, work = os.environ["TOOL"], os.environ["DATA"], os.environ["WORK"]
model = "/usr/share/pocketsphinx/model/en-us"
peer_args = ["-hmm", f"{model}/en-us", "-lm", f"{model}/en-us.lm.bin",
             "-dict", f"{model}/cmudict-en-us.dict", "-logfn", "/dev/null"]

ids = [l.strip() for l in open(f"{data}/fileids") if l.strip()]
if int(os.environ["FILES"]) > 0:
    ids = ids[:int(os.environ["FILES"])]
refs = {}
for line in open(f"{data}/transcription"):
    m = re.match(r"(.*)\((.*)\)\s*$", line)
    if m:
        refs[m.group(2).strip()] = [w for w in m.group(1).split() if w not in ("<s>", "</s>")]

def duration(path):
    with wave.open(path) as w:
        return w.getnframes() / w.getframerate()

def edits(ref, hyp):
    d = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        prev, d[0] = d[0], i
        for j, h in enumerate(hyp, 1):
            prev, d[j] = d[j], min(d[j] + 1, d[j - 1] + 1, prev + (r != h))
    return d[len(hyp)]

def timed(cmd, **kw):
    """Runs cmd; returns (stdout, wall, cpu of the child)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    out = subprocess.run(cmd, capture_output=True, text=True, **kw)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if out.returncode != 0:
        sys.exit(f"{cmd[0]} failed: {out.stderr.strip()[-400:]}")
    return out.stdout, wall, cpu

def ours_words(stdout):
    return " ".join(l.split("\t", 1)[1] for l in stdout.splitlines() if l.startswith("final\t")).split()

def peer_words(stdout):
    return " ".join(l for l in stdout.splitlines() if l.strip()).split()

total_audio = sum(duration(f"{data}/{i}.wav") for i in ids)
total_words = sum(len(refs[i]) for i in ids)
results = {}
for name, run, words in (
        ("zimlo-tool recognize", lambda p: timed([tool, "recognize", p]), ours_words),
        ("pocketsphinx_continuous", lambda p: timed(["pocketsphinx_continuous", "-infile", p] + peer_args), peer_words)):
    errors = wall = cpu = 0
    for i in ids:
        out, w, c = run(f"{data}/{i}.wav")
        errors += edits(refs[i], words(out))
        wall += w
        cpu += c
    results[name] = (errors, wall, cpu)

# The five sentences in one recording, 1.5 s of faint hiss between them: one model load, and
# every utterance ended by a pause.
joined = f"{work}/joined.wav"
gap = b"".join(struct.pack("<h", ((i * 7919) % 7) - 3) for i in range(24000))
with wave.open(joined, "wb") as out:
    out.setnchannels(1); out.setsampwidth(2); out.setframerate(16000)
    out.writeframes(gap)
    for i in ids:
        with wave.open(f"{data}/{i}.wav") as w:
            out.writeframes(w.readframes(w.getnframes()))
        out.writeframes(gap)
joined_audio = duration(joined)
joined_ref = [w for i in ids for w in refs[i]]
out, ours_wall, ours_cpu = timed([tool, "recognize", joined])
ours_joined_wer = edits(joined_ref, ours_words(out)) / len(joined_ref)
out, peer_wall, peer_cpu = timed(["pocketsphinx_continuous", "-infile", joined] + peer_args)
peer_joined_wer = edits(joined_ref, peer_words(out)) / len(joined_ref)

def stream(cmd, feed=None, t0_on_stderr=None):
    """Runs cmd, stamping every stdout line; optionally feeds raw PCM to stdin in real time."""
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE if feed else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=False)
    lines, t0 = [], [None]
    def read_out():
        for raw in proc.stdout:
            lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
    def read_err():
        for raw in proc.stderr:
            if t0_on_stderr and t0[0] is None and raw.startswith(t0_on_stderr):
                t0[0] = time.monotonic()
    threads = [threading.Thread(target=read_out), threading.Thread(target=read_err)]
    for t in threads: t.start()
    if feed:
        time.sleep(8)  # well past the decoder's model load, even on a busy machine
        t0[0] = time.monotonic()
        for k in range(0, len(feed), 3200):
            due = t0[0] + k / 32000
            time.sleep(max(0, due - time.monotonic()))
            proc.stdin.write(feed[k:k + 3200]); proc.stdin.flush()
        proc.stdin.close()
    proc.wait()
    for t in threads: t.join()
    return lines, t0[0]

# Real time: from the end of each utterance's last word to its final result.
lines, t0 = stream([tool, "recognize", joined, "--realtime"], t0_on_stderr=b"recognize: streaming")
# One delay per final, measured to the end of its last word.
finals, current = [], None
for stamp, line in lines:
    if line.startswith("final\t"):
        if current: finals.append(current)
        current = [stamp, None]
    elif line.startswith("word\t") and current:
        current[1] = float(line.split("\t")[2])
if current: finals.append(current)
ours_delays = [s - (t0 + e) for s, e in finals if e is not None]

with wave.open(joined) as w:
    pcm = w.readframes(w.getnframes())
peer_lines, peer_t0 = stream(["pocketsphinx_continuous", "-infile", "/dev/stdin", "-time", "yes"] + peer_args, feed=pcm)
# With -time, a hypothesis line is followed by "word start end confidence" lines.
peer_delays, current = [], None
for stamp, line in peer_lines:
    parts = line.split()
    if len(parts) == 4 and re.match(r"^[\d.]+$", parts[1]) and re.match(r"^[\d.]+$", parts[2]):
        if parts[0] not in ("<s>", "</s>", "<sil>") and not parts[0].startswith(("[", "+")):
            current = (stamp, float(parts[2]))
    elif current:
        peer_delays.append(current[0] - (peer_t0 + current[1])); current = None
if current: peer_delays.append(current[0] - (peer_t0 + current[1]))

def ms(xs):
    return f"median {statistics.median(xs):.2f} s, max {max(xs):.2f} s over {len(xs)} utterances" if xs else "none"

print(f"audio: {len(ids)} LibriVox files, {total_audio:.1f} s, {total_words} words; load average {os.getloadavg()[0]:.1f}")
for name, (errors, wall, cpu) in results.items():
    print(f"{name:26s} per file: WER {100 * errors / total_words:5.1f} % ({errors}/{total_words}), "
          f"RTF cpu {cpu / total_audio:.2f} wall {wall / total_audio:.2f} (model loaded per file)")
print(f"{'zimlo-tool recognize':26s} joined:   WER {100 * ours_joined_wer:5.1f} %, RTF cpu {ours_cpu / joined_audio:.2f} "
      f"wall {ours_wall / joined_audio:.2f} ({joined_audio:.1f} s, one load)")
print(f"{'pocketsphinx_continuous':26s} joined:   WER {100 * peer_joined_wer:5.1f} %, RTF cpu {peer_cpu / joined_audio:.2f} "
      f"wall {peer_wall / joined_audio:.2f}")
print(f"end of speech to final, real time: zimlo {ms(ours_delays)}; pocketsphinx_continuous {ms(peer_delays)}")
ours, peer = results["zimlo-tool recognize"], results["pocketsphinx_continuous"]
print(f"ratio zimlo/peer: WER {ours[0] / max(peer[0], 1):.2f}, CPU {ours[2] / max(peer[2], 1e-9):.2f}")
PY
