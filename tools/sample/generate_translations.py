#!/usr/bin/env python3
"""Writes the sample translations that scripts/make-sample-set publishes.

Usage: generate_translations.py SOURCE_DIR OUT_DIR

Copies the hand-written files of SOURCE_DIR (one folder per language, data/db/T_*.ini inside) and
adds to every language a generated "data/db/T_Dialog.ini" of about 96 KiB: real bundles are large,
and a bundle larger than the private pipe's buffers is what makes a guard that stops reading stall
the launcher's write (the sample set's stand-in game has such a scenario). Every line comes from
SHAKE-256 of the language and the line number, so the same input always gives the same files.
"""
import hashlib
import os
import shutil
import sys

SPEAKERS = {
    "pt-BR": ["Mercador", "Guarda", "Aldea", "Ferreiro", "Sabio", "Capitao"],
    "en": ["Merchant", "Guard", "Villager", "Blacksmith", "Sage", "Captain"],
}
WORDS = {
    "pt-BR": ("a caverna do deserto guarda segredos antigos traga cinco cristais ao farol "
              "o dragao voltou a vila precisa de ajuda sua espada brilha sob a lua "
              "siga a estrada do norte ate o castelo").split(),
    "en": ("the desert cave keeps old secrets bring five crystals to the lighthouse "
           "the dragon has returned the village needs help your sword shines under the moon "
           "follow the north road to the castle").split(),
}
DIALOG_BYTES = 96 * 1024


def dialog(language):
    speakers = SPEAKERS.get(language, SPEAKERS["en"])
    words = WORDS.get(language, WORDS["en"])
    lines = ["[Dialog]"]
    size = len(lines[0]) + 1
    number = 1
    while size < DIALOG_BYTES:
        digest = hashlib.shake_256(f"{language}|{number}".encode()).digest(16)
        speaker = speakers[digest[0] % len(speakers)]
        text = " ".join(words[b % len(words)] for b in digest[1:1 + 6 + digest[15] % 8])
        line = f"{number}={speaker}: {text[0].upper()}{text[1:]}."
        lines.append(line)
        size += len(line) + 1
        number += 1
    return ("\n".join(lines) + "\n").encode()


def main():
    source, out = sys.argv[1], sys.argv[2]
    shutil.copytree(source, out)
    for language in sorted(os.listdir(out)):
        target = os.path.join(out, language, "data", "db", "T_Dialog.ini")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(dialog(language))


if __name__ == "__main__":
    main()
