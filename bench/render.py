"""Rendering benchmark: the time per statement of rendering a whole module back to
source with its comments and blank lines kept, at two sizes.

    PYTHONPATH=src python bench/render.py                    (400 and 4,000 statements)
    PYTHONPATH=src python bench/render.py --sizes 1000 8000 --rounds 5

The module is generated: model-like classes with field assignments, functions with a
loop, whole-line comments, trailing comments and blank lines.  Each round builds the
token view anew (`helpers.build_atok(..., parse_non_code=True)`, not timed: taken
comments stay marked on a view) and times `suggest.node_as_string` over its tree; the
best round of each size is printed.  Work that grows linearly gives about the same time
per statement at every size.
"""
import argparse
import time

BLOCK = '''\
# Shelf {n}: stock kept per branch.
class Shelf{n}(models.Model):
    title = models.CharField(max_length=200)  # shown on the label
    stock = models.PositiveIntegerField(default={n})

    def restock(self, amount):
        # Never more than the shelf holds.
        for _ in range(amount):
            self.stock += 1  # one by one
        return self.stock

pair_{n} = {n}, "shelf-{n}"  # id and slug
'''
STATEMENTS_PER_BLOCK = 8  # class, 2 fields, def, for, augmented assignment, return, pair


def module_source(statements):
    blocks = max(1, statements // STATEMENTS_PER_BLOCK)
    head = '"""Generated shop module."""\nfrom django.db import models\n\n'
    return head + "\n".join(BLOCK.format(n=n) for n in range(blocks))


def best_seconds(source, rounds):
    from korvane.staticanalysis import helpers, suggest

    best = None
    for _ in range(rounds):
        atok = helpers.build_atok(source, parse_non_code=True)
        start = time.perf_counter()
        suggest.node_as_string(atok=atok, node=atok.tree)
        seconds = time.perf_counter() - start
        best = seconds if best is None else min(best, seconds)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[400, 4000])
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    best_seconds(module_source(40), 1)  # warm-up: imports and first-use look-ups
    print("%10s %10s %14s" % ("statements", "seconds", "us/statement"))
    for size in args.sizes:
        statements = max(1, size // STATEMENTS_PER_BLOCK) * STATEMENTS_PER_BLOCK
        seconds = best_seconds(module_source(size), args.rounds)
        print("%10d %10.3f %14.1f" % (statements, seconds, seconds / statements * 1e6))


if __name__ == "__main__":
    main()
