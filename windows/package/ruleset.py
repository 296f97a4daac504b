"""A checker's table of rules: each a named function of (subject, context) that returns the
problems it finds, an empty list when the subject keeps the rule."""


class RuleSet:
    def __init__(self):
        self.rules = []

    def rule(self, name):
        def add(check):
            self.rules.append((name, check))
            return check

        return add

    def names(self):
        return {name for name, _ in self.rules}

    def run(self, subject, context, unreadable=()):
        """{rule: [problems]} for the rules the subject breaks; a rule that cannot read what
        it needs (one of the unreadable exceptions) is broken."""
        found = {}
        for name, check in self.rules:
            try:
                problems = check(subject, context)
            except unreadable as e:
                problems = ["cannot read what the rule needs (%s)" % e]
            if problems:
                found[name] = problems
        return found
