"""A griffe extension for the API reference: in a stub, a method given only as
overloads has no body to document, so the reference would leave it out. Each
such method becomes a member with the signature of its first form and the
others as its overloads, documented by the text of every form in turn."""

import griffe


class StubOverloads(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: object) -> None:
        for name, forms in cls.overloads.items():
            if not forms or name in cls.members:
                continue
            first = forms[0]
            method = griffe.Function(
                name,
                lineno=first.lineno,
                endlineno=forms[-1].endlineno,
                parameters=first.parameters,
                returns=first.returns,
                parent=cls,
            )
            texts = [form.docstring.value for form in forms if form.docstring]
            parser = first.docstring.parser if first.docstring else None
            method.docstring = griffe.Docstring("\n\n".join(texts), parent=method, parser=parser)
            method.overloads = forms[1:]
            cls.set_member(name, method)
