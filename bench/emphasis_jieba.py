#!/usr/bin/python3
"""Peer of the emphasis benchmark: Debian's jieba.posseg tagging the same Chinese sentences.
Usage: emphasis_jieba.py SENTENCES.txt  (prints load seconds and ms per sentence)"""
import sys
import time

started = time.perf_counter()
import jieba
import jieba.posseg as pseg

jieba.setLogLevel(60)
pseg.lcut("预热")  # the dictionary loads on first use
load = time.perf_counter() - started

lines = [line.rstrip("\n") for line in open(sys.argv[1], encoding="utf-8") if line.strip()]
t0 = time.perf_counter()
for line in lines:
    pseg.lcut(line)
first = time.perf_counter() - t0
passes = 3
t0 = time.perf_counter()
for _ in range(passes):
    for line in lines:
        pseg.lcut(line)
mean = (time.perf_counter() - t0) / passes
print(f"load: {load:.4f} s")
print(f"{sys.argv[1]}: {len(lines)} sentences, first pass {first / len(lines) * 1000:.5f} ms/sentence, "
      f"mean of {passes} passes {mean / len(lines) * 1000:.5f} ms/sentence")
