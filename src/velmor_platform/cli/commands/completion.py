"""``completion``: a shell completion script built from the parser itself."""

from __future__ import annotations

import argparse

from ..outcome import Outcome
from ..parser import PROG, Subparsers, add_command


def register_completion(commands: Subparsers) -> None:
    p = add_command(
        commands,
        "completion",
        "print a shell completion script (bash or zsh)",
        cmd_completion,
        [f'eval "$({PROG} completion bash)"', f"{PROG} completion zsh > ~/.zfunc/_{PROG}"],
        description="Print a completion script for bash or zsh; source it at shell start-up.",
    )
    p.add_argument("shell", choices=("bash", "zsh"), metavar="SHELL", help="bash or zsh")
    p.set_defaults(needs_workspace=False)


def cmd_completion(args: argparse.Namespace) -> Outcome:
    tree: dict[str, list[str]] = {}

    def walk(parser: argparse.ArgumentParser, path: str) -> None:
        words = [o for a in parser._actions for o in a.option_strings if o.startswith("--")]
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                for name, sub in action.choices.items():
                    words.append(name)
                    walk(sub, f"{path} {name}".strip())
        tree[path] = sorted(set(words))

    walk(args.parser, "")  # the whole command line, as main built it
    cases = "\n".join(
        f'        "{path}") words="{" ".join(words)}" ;;' for path, words in sorted(tree.items())
    )
    script = f"""_{PROG}_complete() {{
    local cur="${{COMP_WORDS[COMP_CWORD]}}" path="" word words
    for word in "${{COMP_WORDS[@]:1:COMP_CWORD-1}}"; do
        case "$word" in -*) continue ;; esac
        case " $(_{PROG}_words "$path") " in *" $word "*) path="${{path:+$path }}$word" ;; esac
    done
    COMPREPLY=($(compgen -W "$(_{PROG}_words "$path")" -- "$cur"))
    [ ${{#COMPREPLY[@]}} -eq 0 ] && COMPREPLY=($(compgen -f -- "$cur"))
}}
_{PROG}_words() {{
    case "$1" in
{cases}
        *) words="" ;;
    esac
    echo "$words"
}}
complete -o filenames -F _{PROG}_complete {PROG}"""
    if args.shell == "zsh":
        script = "autoload -U +X bashcompinit && bashcompinit\n" + script
    return Outcome({"shell": args.shell, "script": script}, lambda: script.splitlines())
