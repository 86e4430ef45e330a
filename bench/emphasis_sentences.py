#!/usr/bin/python3
"""Writes the emphasis benchmark's sentences: Chinese ones from fortunes-zh, English example
sentences from WordNet's glosses. Usage: emphasis_sentences.py OUT_DIR [COUNT_PER_LANGUAGE]"""
import re
import sys

out_dir = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000

ansi = re.compile(r"\x1b\[[0-9;]*m")
chinese = []
seen = set()
with open("/usr/share/games/fortunes/chinese.u8", encoding="utf-8", errors="replace") as f:
    for fortune in f.read().split("\n%\n"):
        text = ansi.sub("", fortune)
        # Paragraphs of a fortune are wrapped prose: join their lines, then cut after
        # sentence ends.
        sentences = []
        for paragraph in re.split(r"\n\s*\n", text):
            lines = [l.strip() for l in paragraph.split("\n") if l.strip() and not l.strip().startswith("--")]
            sentences += re.split(r"(?<=[。！？])", "".join(lines))
        for sentence in sentences:
            sentence = sentence.strip()
            han = sum(1 for c in sentence if "\u4e00" <= c <= "\u9fff")
            if 8 <= len(sentence) <= 40 and han >= len(sentence) * 0.6 and sentence not in seen:
                seen.add(sentence)
                chinese.append(sentence)
        if len(chinese) >= count:
            break

english = []
seen = set()
example = re.compile(r'"([^"]+)"')
for pos in ("noun", "verb", "adj", "adv"):
    with open(f"/usr/share/wordnet/data.{pos}", encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith(" ") or "|" not in line:
                continue
            for sentence in example.findall(line.split("|", 1)[1]):
                words = sentence.split()
                if 5 <= len(words) <= 16 and sentence not in seen:
                    seen.add(sentence)
                    english.append(sentence)
# Spread the choice over the whole lexicon rather than the first files only.
step = max(1, len(english) // count)
english = english[::step][:count]

for name, sentences in (("zh.txt", chinese[:count]), ("en.txt", english)):
    with open(f"{out_dir}/{name}", "w", encoding="utf-8") as f:
        f.write("\n".join(sentences) + "\n")
print(f"{min(count, len(chinese))} Chinese and {len(english)} English sentences", file=sys.stderr)
