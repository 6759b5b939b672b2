"""The command line each example script gets when the gallery runs it: its picture goes to the
build tree (the gallery shows the figures the script leaves open), and the sizes keep the whole
gallery to about a minute on 2 cores."""

from pathlib import Path

OUTPUT = Path(__file__).resolve().parent / "_build" / "gallery-output"
SIZES = {
    "stability_chart.py": ["41"],
    "feedback_chart.py": ["25"],
    "delay_locus.py": ["80"],
}


def example_argv(gallery_conf, script_vars):
    name = Path(script_vars["src_file"]).name
    if name == "quickstart.py":
        return []
    OUTPUT.mkdir(parents=True, exist_ok=True)
    return [str(OUTPUT / name.replace(".py", ".png")), *SIZES.get(name, [])]
